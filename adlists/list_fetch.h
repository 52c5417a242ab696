// Downloading a list over HTTP or HTTPS with libcurl: conditional (ETag and
// Last-Modified of the copy held), bounded in size and time, following a few
// redirects, verifying the server's certificate, and through Vellomar's
// upstream proxy when one is set (never through one named in the
// environment). Thread-safe once fetch_init() has run.
#pragma once

#include <cstddef>
#include <string>

namespace adlists {

constexpr long DEFAULT_FETCH_TIMEOUT_SECONDS = 60;
constexpr long MAX_REDIRECTS = 5;

struct FetchRequest {
  std::string url;
  std::string etag;                                      // of the copy held; "" for none
  std::string last_modified;                             // likewise
  std::size_t max_bytes = 0;                             // 0: MAX_LIST_BYTES
  long timeout_seconds = DEFAULT_FETCH_TIMEOUT_SECONDS;  // also the longest stall
  std::string ca_file;  // certificates to trust instead of the system's
  std::string proxy;    // "host:port", or "" for a direct connection
};

struct FetchResult {
  enum Status { FETCHED, NOT_MODIFIED, FAILED } status = FAILED;
  std::string body;
  std::string etag;
  std::string last_modified;
  std::string error;  // for FAILED: a sentence for the user
};

bool is_web_address(const std::string& source);

// Sets up libcurl once per process; call before any thread fetches.
void fetch_init();

FetchResult fetch_list(const FetchRequest& request);

// Vellomar's upstream proxy from the registry as "host:port", "" for none.
std::string upstream_proxy_for_fetch();

}  // namespace adlists
