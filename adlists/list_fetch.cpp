// Downloads with libcurl (see list_fetch.h).
#include "adlists/list_fetch.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>

#include "adlists/list_converter.h"
#include "settings/registry_settings.h"

namespace adlists {
namespace {

struct Transfer {
  std::string body;
  std::string etag;
  std::string last_modified;
  std::size_t max_bytes;
  bool too_large = false;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t bytes = size * count;
  if (t->body.size() + bytes > t->max_bytes) {
    t->too_large = true;
    return 0;  // ends the transfer
  }
  t->body.append(data, bytes);
  return bytes;
}

std::string header_value(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0 ||
      line[name.size()] != ':') {
    return {};
  }
  std::string_view value = line.substr(name.size() + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
    value.remove_suffix(1);
  }
  return std::string(value);
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string_view line(data, size * count);
  // Each response of a redirect chain starts anew; the last one counts.
  if (line.substr(0, 5) == "HTTP/") {
    t->etag.clear();
    t->last_modified.clear();
  }
  if (std::string v = header_value(line, "ETag"); !v.empty()) t->etag = v;
  if (std::string v = header_value(line, "Last-Modified"); !v.empty()) t->last_modified = v;
  return size * count;
}

}  // namespace

bool is_web_address(const std::string& source) {
  return source.rfind("http://", 0) == 0 || source.rfind("https://", 0) == 0;
}

void fetch_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string upstream_proxy_for_fetch() {
  StoredProxySetting setting{};
  if (!read_proxy_setting(&setting) || setting.host[0] == '\0' || (setting.port & 0xFFFF) == 0) {
    return {};
  }
  return std::string(setting.host) + ":" + std::to_string(setting.port & 0xFFFF);
}

FetchResult fetch_list(const FetchRequest& request) {
  fetch_init();
  FetchResult result;
  if (!is_web_address(request.url)) {
    result.error = "not an http or https address: " + request.url;
    return result;
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    result.error = "the download could not be set up";
    return result;
  }
  Transfer t;
  t.max_bytes = request.max_bytes == 0 ? MAX_LIST_BYTES : request.max_bytes;
  char error_text[CURL_ERROR_SIZE] = "";
  curl_slist* headers = nullptr;
  if (!request.etag.empty()) {
    headers = curl_slist_append(headers, ("If-None-Match: " + request.etag).c_str());
  }
  if (!request.last_modified.empty()) {
    headers = curl_slist_append(headers, ("If-Modified-Since: " + request.last_modified).c_str());
  }
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.ca_file.c_str());
  // Only Vellomar's own setting decides; "" also turns off proxies named in
  // the environment.
  curl_easy_setopt(curl, CURLOPT_PROXY, request.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, request.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, request.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, request.timeout_seconds * 5);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.max_bytes));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Vellomar-lists/1.0");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);

  if (t.too_large || code == CURLE_FILESIZE_EXCEEDED) {
    result.error = "the list is larger than the limit of " + std::to_string(t.max_bytes) + " bytes";
  } else if (code == CURLE_OPERATION_TIMEDOUT) {
    result.error = "the server did not answer in time";
  } else if (code != CURLE_OK) {
    result.error = std::string("download failed: ") +
                   (error_text[0] != '\0' ? error_text : curl_easy_strerror(code));
  } else if (status == 304) {
    result.status = FetchResult::NOT_MODIFIED;
  } else if (status != 200) {
    result.error = "the server answered with status " + std::to_string(status);
  } else {
    result.status = FetchResult::FETCHED;
    result.body = std::move(t.body);
    result.etag = std::move(t.etag);
    result.last_modified = std::move(t.last_modified);
  }
  return result;
}

}  // namespace adlists
