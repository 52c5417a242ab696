// The TLS contexts of an inspected connection: towards the origin, a client
// that verifies the server's chain against the system's trust store (plus
// the certificates of the file VELLOMAR_EXTRA_CA_FILE names, meant for
// tests) and its name, sends SNI and offers ALPN "http/1.1" only; towards
// the browser, a server that answers with a host certificate (leaf_certs.h)
// and accepts ALPN "http/1.1" only. Both speak TLS 1.2 and later.
//
// Contexts are made once per inspection state and shared by every session
// thread (OpenSSL contexts are safe for that once set up); each SSL object
// belongs to one thread.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "certauth/leaf_certs.h"

namespace certauth {

// The environment variable naming a PEM file of extra trust anchors.
inline constexpr char EXTRA_CA_FILE_VARIABLE[] = "VELLOMAR_EXTRA_CA_FILE";

using ContextPtr = std::shared_ptr<SSL_CTX>;

// The origin-side context; null with *error when it cannot be made (also
// when VELLOMAR_EXTRA_CA_FILE is set but holds no certificate).
ContextPtr make_origin_context(std::string* error);
// The browser-side context (the certificate is set per connection).
ContextPtr make_browser_context(std::string* error);

// A new client connection on `fd` to `host` (a DNS name or an IP address):
// SNI for a name, the name or address checked against the certificate.
// Null on failure.
SSL* new_origin_connection(SSL_CTX* context, int fd, const std::string& host);
// Whether the origin asked for a client certificate during the handshake.
bool origin_asked_for_certificate(const SSL* ssl);

// A new server connection on `fd` presenting `leaf` with the authority's
// certificate behind it. Null on failure.
SSL* new_browser_connection(SSL_CTX* context, int fd, const Leaf& leaf,
                            const LoadedAuthority& authority);

}  // namespace certauth
