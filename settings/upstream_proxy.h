// The upstream proxy setting: the proxy server every request is forwarded
// through, or none.
//
// The setting is published as one value (platform/published.h): a session
// that reads it never sees a host from one setting with the port or address
// of another. An upstream proxy is in use exactly when `state` is InUse; only
// then does `address` hold anything.
#pragma once

#include <cstddef>
#include <cstdint>

// Capacity of the host text, its terminating zero included.
constexpr std::size_t UPSTREAM_HOST_SIZE = 80;

enum class UpstreamState {
  None,        // no host or port 0 applied: requests go straight to the server
  InUse,       // host resolved: every request goes through it
  Unresolved,  // a host and port were applied but the host could not be resolved
  Suspended,   // taken out of use by a reload of the setup pages, host and port kept
};

struct UpstreamProxy {
  char host[UPSTREAM_HOST_SIZE] = "";  // as last applied
  std::uint16_t port = 0;              // host byte order, as last applied
  std::uint32_t address = 0;           // network byte order; valid when InUse
  UpstreamState state = UpstreamState::None;

  bool in_use() const { return state == UpstreamState::InUse; }
};

// The setting in force, as one consistent copy. Safe from any thread.
UpstreamProxy current_upstream_proxy();

// Applies a host and a port (host byte order; only its low 16 bits count):
// resolves the host once and logs one of "Not using a proxy server.",
// "Not using proxy: Could not resolve proxy address." or "Using proxy server
// %s on port %d.". An empty host keeps the host last applied, though no proxy
// is in use then. A host longer than UPSTREAM_HOST_SIZE - 1 characters is
// refused as unresolvable. Safe from any thread; concurrent calls publish in
// some order.
void select_upstream_proxy(const char* host, int port);

// Back to the start-up state: no host, port 0, not in use.
void reset_upstream_proxy();

// Takes the proxy out of use while keeping its host and port (the Reload
// button of the setup pages).
void suspend_upstream_proxy();
