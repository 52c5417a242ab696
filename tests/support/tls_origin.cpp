// The test TLS origin: one thread accepting, one thread per connection, each
// reading request heads (no bodies: tests send GETs) and answering with
// Content-Length so that connections stay open between requests.
#include "tests/support/tls_origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vmtest {

TlsOrigin::TlsOrigin(const char* address, X509* certificate, EVP_PKEY* key, Handler handler,
                     bool ask_for_certificate)
    : context_(SSL_CTX_new(TLS_server_method()), SSL_CTX_free), handler_(std::move(handler)) {
  SSL_CTX_use_certificate(context_.get(), certificate);
  SSL_CTX_use_PrivateKey(context_.get(), key);
  if (ask_for_certificate) {
    // Asks, but lets a client without one in.
    SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(443);
  inet_pton(AF_INET, address, &where.sin_addr);
  listening_ = bind(listen_fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
               listen(listen_fd_, 64) == 0;
  if (listening_) acceptor_ = std::thread([this] { accept_loop(); });
}

TlsOrigin::~TlsOrigin() {
  shutdown(listen_fd_, SHUT_RDWR);
  close(listen_fd_);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_) shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
}

std::vector<std::string> TlsOrigin::paths() const {
  std::lock_guard lock(mutex_);
  return paths_;
}

void TlsOrigin::accept_loop() {
  for (;;) {
    const int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    std::lock_guard lock(mutex_);
    open_.insert(fd);
    threads_.emplace_back([this, fd] { serve(fd); });
  }
}

void TlsOrigin::serve(int fd) {
  SSL* ssl = SSL_new(context_.get());
  SSL_set_fd(ssl, fd);
  std::string pending;
  char buffer[4096];
  if (SSL_accept(ssl) == 1) {
    for (;;) {
      const std::size_t end = pending.find("\r\n\r\n");
      if (end == std::string::npos) {
        const int got = SSL_read(ssl, buffer, sizeof buffer);
        if (got <= 0) break;
        pending.append(buffer, got);
        continue;
      }
      const std::string head = pending.substr(0, end);
      pending.erase(0, end + 4);
      const std::size_t blank = head.find(' ');
      const std::string path = head.substr(blank + 1, head.find(' ', blank + 1) - blank - 1);
      {
        std::lock_guard lock(mutex_);
        paths_.push_back(path);
      }
      const OriginReply answer = handler_(path);
      const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: " + answer.content_type +
                                "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                                "\r\n\r\n" + answer.body;
      if (SSL_write(ssl, reply.data(), static_cast<int>(reply.size())) <= 0) break;
    }
  }
  SSL_free(ssl);
  std::lock_guard lock(mutex_);
  open_.erase(fd);
  close(fd);
}

std::shared_ptr<const certauth::LoadedAuthority> make_test_authority(
    const std::filesystem::path& folder) {
  // The authority's code finds its folder through VELLOMAR_PREFIX.
  const char* saved = std::getenv("VELLOMAR_PREFIX");
  const std::string kept = saved != nullptr ? saved : "";
  setenv("VELLOMAR_PREFIX", folder.c_str(), 1);
  std::string error;
  certauth::create_authority(&error);
  auto authority = certauth::load_authority(&error);
  if (saved != nullptr) {
    setenv("VELLOMAR_PREFIX", kept.c_str(), 1);
  } else {
    unsetenv("VELLOMAR_PREFIX");
  }
  return authority;
}

void write_pem(const std::string& path, X509* certificate) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return;
  PEM_write_X509(file, certificate);
  std::fclose(file);
}

}  // namespace vmtest
