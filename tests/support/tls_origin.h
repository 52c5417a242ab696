// A TLS origin for tests: listens on port 443 of a loopback address (in the
// test's own network namespace) and answers every request of every
// connection, each connection on a thread of its own, from a handler. Also
// the test authorities its certificates come from.
//
// Thread safety: paths() may be called while connections are served; the
// handler runs on the connections' threads and must be safe to call from
// several at once. The certificate and key are copied in by the constructor.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "certauth/authority.h"

namespace vmtest {

struct OriginReply {
  std::string content_type;
  std::string body;
};

class TlsOrigin {
 public:
  using Handler = std::function<OriginReply(const std::string& path)>;

  // Serves with `certificate` and `key`. `ask_for_certificate` makes the
  // origin ask clients for a certificate (and let in those without one).
  TlsOrigin(const char* address, X509* certificate, EVP_PKEY* key, Handler handler,
            bool ask_for_certificate = false);
  // Closes the listening socket and every open connection, then joins.
  ~TlsOrigin();
  TlsOrigin(const TlsOrigin&) = delete;
  TlsOrigin& operator=(const TlsOrigin&) = delete;

  // False when port 443 of the address could not be bound (no network
  // namespace of the test's own).
  bool listening() const { return listening_; }
  // The paths asked for so far, in order of arrival.
  std::vector<std::string> paths() const;

 private:
  void accept_loop();
  void serve(int fd);

  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
  Handler handler_;
  int listen_fd_ = -1;
  bool listening_ = false;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::set<int> open_;
  std::vector<std::thread> threads_;
  std::vector<std::string> paths_;
};

// A certificate authority made in `folder` by the product's own code, for
// origins' certificates that only a test trusts; null when it failed.
std::shared_ptr<const certauth::LoadedAuthority> make_test_authority(
    const std::filesystem::path& folder);

// Writes `certificate` in PEM form to `path`.
void write_pem(const std::string& path, X509* certificate);

}  // namespace vmtest
