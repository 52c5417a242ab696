// Moving bytes through an SSL object on a non-blocking socket: the
// handshake and whole writes within a time limit, reads that never block,
// and an orderly close (close_notify). Each SSL belongs to one thread.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace certauth {

// Initialises OpenSSL so that it never tears its global state down at exit:
// session threads may still be inside a TLS call while exit runs. Call it
// first thing in main, before anything else (libcurl too) starts OpenSSL;
// false when OpenSSL could not be initialised.
bool keep_tls_library_until_exit();

// Makes `fd` non-blocking; false on failure.
bool make_non_blocking(int fd);

// Runs the handshake (client or server side, as `ssl` was set up) until it
// is done, fails, or `timeout_ms` pass. On failure *error says why; for a
// client whose peer failed verification, *verify_result holds the X509
// error (X509_V_OK otherwise).
bool tls_handshake(SSL* ssl, int timeout_ms, std::string* error, long* verify_result);

// Writes all `size` bytes, waiting at most `timeout_ms` for the socket each
// time it is full; 0 on success, -1 on failure.
int tls_write_all(SSL* ssl, const char* data, std::size_t size, int timeout_ms);

// Reads what is there: > 0 bytes read; 0 the peer closed (close_notify or
// end of stream); -1 an error; TLS_AGAIN when nothing can be read now.
inline constexpr ssize_t TLS_AGAIN = -2;
ssize_t tls_read(SSL* ssl, char* buffer, std::size_t capacity);

// Whether decrypted bytes are waiting inside `ssl`, so that the socket may
// not become readable for them.
bool tls_pending(const SSL* ssl);

// Sends close_notify without waiting for the peer's, and frees `ssl`
// (null is allowed). The socket is left to the caller.
void tls_close(SSL* ssl);

}  // namespace certauth
