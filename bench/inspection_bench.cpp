// The cost of HTTPS inspection's own work per new connection: minting a
// host certificate, and the whole TLS handshake the proxy does with a
// browser over a socket pair, with the host's certificate cached and minted
// on the spot. Both ends run in this thread, so a handshake's time holds the
// browser's part (key exchange, chain verification) as well as the proxy's.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "certauth/authority.h"
#include "certauth/leaf_certs.h"
#include "certauth/origin_tls.h"
#include "certauth/tls_io.h"

namespace {

// One authority for the whole run, made in a folder of its own.
const std::shared_ptr<const certauth::LoadedAuthority>& authority() {
  static const std::shared_ptr<const certauth::LoadedAuthority> made = [] {
    char folder[] = "/tmp/vellomar-bench-ca.XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    setenv("VELLOMAR_PREFIX", folder, 1);
    std::string error;
    if (!certauth::create_authority(&error)) std::abort();
    auto loaded = certauth::load_authority(&error);
    std::filesystem::remove_all(folder);
    return loaded;
  }();
  return made;
}

// The browser's side: trusts only the authority, checks the host name.
SSL_CTX* browser_side() {
  static SSL_CTX* context = [] {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), authority()->certificate.get());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return ctx;
  }();
  return context;
}

// One handshake between a browser and the proxy's side for `host`.
void handshake(certauth::LeafCache& cache, SSL_CTX* proxy_context, const std::string& host,
               benchmark::State& state) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
  certauth::make_non_blocking(pair[0]);
  certauth::make_non_blocking(pair[1]);
  const auto leaf = cache.leaf_for(host);
  SSL* proxy = certauth::new_browser_connection(proxy_context, pair[0], *leaf, cache.authority());
  SSL* browser = SSL_new(browser_side());
  SSL_set_fd(browser, pair[1]);
  SSL_set_tlsext_host_name(browser, host.c_str());
  SSL_set1_host(browser, host.c_str());
  SSL_set_connect_state(browser);
  bool proxy_done = false, browser_done = false;
  while (!proxy_done || !browser_done) {
    if (!browser_done) {
      const int r = SSL_do_handshake(browser);
      if (r == 1)
        browser_done = true;
      else if (SSL_get_error(browser, r) != SSL_ERROR_WANT_READ)
        state.SkipWithError("browser");
    }
    if (!proxy_done) {
      const int r = SSL_do_handshake(proxy);
      if (r == 1)
        proxy_done = true;
      else if (SSL_get_error(proxy, r) != SSL_ERROR_WANT_READ)
        state.SkipWithError("proxy");
    }
    if (state.error_occurred()) break;
  }
  SSL_free(browser);
  SSL_free(proxy);
  close(pair[0]);
  close(pair[1]);
}

void BM_MintHostCertificate(benchmark::State& state) {
  certauth::LeafCache cache(authority());
  for (auto _ : state) benchmark::DoNotOptimize(cache.mint("www.example.com"));
}
BENCHMARK(BM_MintHostCertificate)->Unit(benchmark::kMicrosecond);

void BM_HandshakeCachedCertificate(benchmark::State& state) {
  certauth::LeafCache cache(authority());
  std::string error;
  const certauth::ContextPtr context = certauth::make_browser_context(&error);
  cache.leaf_for("www.example.com");
  for (auto _ : state) handshake(cache, context.get(), "www.example.com", state);
}
BENCHMARK(BM_HandshakeCachedCertificate)->Unit(benchmark::kMillisecond);

void BM_HandshakeMintedCertificate(benchmark::State& state) {
  certauth::LeafCache cache(authority());
  std::string error;
  const certauth::ContextPtr context = certauth::make_browser_context(&error);
  long host = 0;
  for (auto _ : state) {
    handshake(cache, context.get(), "h" + std::to_string(host++) + ".example.com", state);
  }
}
BENCHMARK(BM_HandshakeMintedCertificate)->Unit(benchmark::kMillisecond);

}  // namespace
