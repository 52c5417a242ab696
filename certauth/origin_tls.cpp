// TLS contexts and connections of inspected HTTPS.
#include "certauth/origin_tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>

namespace certauth {
namespace {

constexpr unsigned char ALPN_HTTP11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

std::string openssl_error(const std::string& what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return what + ": " + text;
}

// The index of the flag an origin connection sets when asked for a
// certificate.
int asked_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Sends no certificate, but remembers that one was asked for.
int note_certificate_request(SSL* ssl, X509**, EVP_PKEY**) {
  SSL_set_ex_data(ssl, asked_index(), reinterpret_cast<void*>(1));
  return 0;
}

int select_http11(SSL*, const unsigned char** out, unsigned char* out_length,
                  const unsigned char* offered, unsigned int offered_length, void*) {
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, out_length, ALPN_HTTP11, sizeof ALPN_HTTP11, offered,
                            offered_length) == OPENSSL_NPN_NEGOTIATED) {
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
  }
  // A browser offering only other protocols gets none: it speaks HTTP/1.1.
  return SSL_TLSEXT_ERR_NOACK;
}

ContextPtr new_context(const SSL_METHOD* method, std::string* error) {
  ContextPtr context(SSL_CTX_new(method), SSL_CTX_free);
  if (!context) {
    *error = openssl_error("cannot make a TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // A peer that closes without close_notify ends the stream like one that
  // sends it; HTTP's own framing tells a cut reply from a whole one.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Idle connections give their record buffers back: many may be open.
  SSL_CTX_set_mode(context.get(), SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return context;
}

}  // namespace

ContextPtr make_origin_context(std::string* error) {
  ContextPtr context = new_context(TLS_client_method(), error);
  if (!context) return nullptr;
  SSL_CTX* ctx = context.get();
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
    *error = openssl_error("cannot read the system's trust store");
    return nullptr;
  }
  if (const char* extra = std::getenv(EXTRA_CA_FILE_VARIABLE); extra != nullptr && *extra) {
    if (SSL_CTX_load_verify_locations(ctx, extra, nullptr) != 1) {
      *error = openssl_error(std::string("cannot read the trust anchors in ") + extra);
      return nullptr;
    }
  }
  if (SSL_CTX_set_alpn_protos(ctx, ALPN_HTTP11, sizeof ALPN_HTTP11) != 0) {
    *error = openssl_error("cannot set ALPN");
    return nullptr;
  }
  SSL_CTX_set_client_cert_cb(ctx, note_certificate_request);
  asked_index();
  return context;
}

ContextPtr make_browser_context(std::string* error) {
  ContextPtr context = new_context(TLS_server_method(), error);
  if (!context) return nullptr;
  SSL_CTX_set_alpn_select_cb(context.get(), select_http11, nullptr);
  return context;
}

SSL* new_origin_connection(SSL_CTX* context, int fd, const std::string& host) {
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) return nullptr;
  unsigned char address[16];
  const bool literal = inet_pton(AF_INET, host.c_str(), address) == 1 ||
                       inet_pton(AF_INET6, host.c_str(), address) == 1;
  bool ok = SSL_set_fd(ssl, fd) == 1;
  if (literal) {
    // No SNI for an address; the certificate must name it as an IP SAN.
    ok = ok && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
  } else {
    ok = ok && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
         SSL_set1_host(ssl, host.c_str()) == 1;
  }
  if (!ok) {
    ERR_clear_error();
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  SSL_set_connect_state(ssl);
  return ssl;
}

bool origin_asked_for_certificate(const SSL* ssl) {
  return SSL_get_ex_data(ssl, asked_index()) != nullptr;
}

SSL* new_browser_connection(SSL_CTX* context, int fd, const Leaf& leaf,
                            const LoadedAuthority& authority) {
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) return nullptr;
  const bool ok = SSL_set_fd(ssl, fd) == 1 &&
                  SSL_use_certificate(ssl, leaf.certificate.get()) == 1 &&
                  SSL_use_PrivateKey(ssl, leaf.key.get()) == 1 &&
                  SSL_add1_chain_cert(ssl, authority.certificate.get()) == 1;
  if (!ok) {
    ERR_clear_error();
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_accept_state(ssl);
  return ssl;
}

}  // namespace certauth
