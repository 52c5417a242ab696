// TLS on non-blocking sockets, with poll for the waits.
#include "certauth/tls_io.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>

#include <cerrno>
#include <chrono>

namespace certauth {

bool keep_tls_library_until_exit() {
  return OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS |
                              OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                          nullptr) == 1;
}

namespace {

// Waits for the socket under `ssl` as its last result asks; false on a
// timeout or an error.
bool wait_for(SSL* ssl, int result, std::chrono::steady_clock::time_point deadline) {
  const int reason = SSL_get_error(ssl, result);
  if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) return false;
  pollfd entry{SSL_get_fd(ssl),
               static_cast<short>(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace

bool make_non_blocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool tls_handshake(SSL* ssl, int timeout_ms, std::string* error, long* verify_result) {
  *verify_result = X509_V_OK;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl);
    if (result == 1) return true;
    if (wait_for(ssl, result, deadline)) continue;
    const int reason = SSL_get_error(ssl, result);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      *error = "the TLS handshake timed out";
    } else if (!SSL_is_server(ssl) && SSL_get_verify_result(ssl) != X509_V_OK) {
      *verify_result = SSL_get_verify_result(ssl);
      *error = X509_verify_cert_error_string(*verify_result);
    } else if (const unsigned long code = ERR_peek_error(); code != 0) {
      char text[256];
      ERR_error_string_n(code, text, sizeof text);
      *error = text;
    } else {
      *error = "the connection ended during the TLS handshake";
    }
    ERR_clear_error();
    return false;
  }
}

int tls_write_all(SSL* ssl, const char* data, std::size_t size, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (size > 0) {
    ERR_clear_error();
    size_t written = 0;
    const int result = SSL_write_ex(ssl, data, size, &written);
    if (result == 1) {
      data += written;
      size -= written;
      continue;
    }
    if (!wait_for(ssl, result, deadline)) {
      ERR_clear_error();
      return -1;
    }
  }
  return 0;
}

ssize_t tls_read(SSL* ssl, char* buffer, std::size_t capacity) {
  ERR_clear_error();
  size_t got = 0;
  const int result = SSL_read_ex(ssl, buffer, capacity, &got);
  if (result == 1) return static_cast<ssize_t>(got);
  const int reason = SSL_get_error(ssl, result);
  ERR_clear_error();
  switch (reason) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return TLS_AGAIN;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    default:
      return -1;
  }
}

bool tls_pending(const SSL* ssl) {
  return SSL_pending(ssl) > 0;
}

void tls_close(SSL* ssl) {
  if (ssl == nullptr) return;
  if (SSL_is_init_finished(ssl)) {
    SSL_shutdown(ssl);  // sends close_notify; the peer's is not awaited
  }
  ERR_clear_error();
  SSL_free(ssl);
}

}  // namespace certauth
