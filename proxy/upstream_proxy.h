// The upstream proxy setting: the proxy server every request is forwarded
// through, or none.
//
// The setting is published as one value (platform/published.h): a session
// that reads it never sees a host from one setting with the port or address
// of another. An upstream proxy is in use exactly when `address` is not
// NO_UPSTREAM_ADDRESS.
#pragma once

#include <cstddef>
#include <cstdint>

// Capacity of the host text, its terminating zero included.
constexpr std::size_t UPSTREAM_HOST_SIZE = 80;
constexpr std::uint32_t NO_UPSTREAM_ADDRESS = 0xFFFFFFFFu;

struct UpstreamProxy {
  char host[UPSTREAM_HOST_SIZE] = "";  // as last applied
  std::uint32_t port = 0;              // network byte order; 0: none set
  std::uint32_t address = NO_UPSTREAM_ADDRESS;  // network byte order
};

// The setting in force, as one consistent copy. Safe from any thread.
UpstreamProxy current_upstream_proxy();

// Applies a host and a port (host byte order; only its low 16 bits count):
// resolves the host once and logs one of "Not using a proxy server.",
// "Not using proxy: Could not resolve proxy address." or "Using proxy server
// %s on port %d.". A host longer than UPSTREAM_HOST_SIZE - 1 characters is
// refused as unresolvable. Safe from any thread; concurrent calls publish in
// some order.
void select_upstream_proxy(const char* host, int port);

// Back to the start-up state: no host, port 0, not in use.
void reset_upstream_proxy();

// Marks the proxy not in use while keeping its host (the Reload button of
// the setup pages): address none, port all ones.
void disable_upstream_proxy_keep_host();
