// The upstream proxy setting, published as one value so that a session never
// sees the host of one setting with the address of another.
#include "settings/upstream_proxy.h"

#include <cstring>

#include "platform/published.h"
#include "platform/winsock.h"
#include "settings/activity_log.h"

namespace {

// Never destroyed: detached session threads may still read it while the
// process runs its exit handlers.
Published<UpstreamProxy>& setting() {
  static Published<UpstreamProxy>* const value = new Published<UpstreamProxy>();
  return *value;
}

void publish(const UpstreamProxy& value) {
  setting().publish(std::make_shared<const UpstreamProxy>(value));
}

}  // namespace

UpstreamProxy current_upstream_proxy() {
  thread_local Published<UpstreamProxy>::Reader reader;
  return reader.get(setting());
}

void select_upstream_proxy(const char* host, int port) {
  UpstreamProxy next = *setting().load();
  next.port = static_cast<std::uint16_t>(port & 0xFFFF);
  next.address = 0;
  if (next.port == 0 || host == nullptr || host[0] == '\0') {
    log_activity("Not using a proxy server.");
    next.state = UpstreamState::None;
    publish(next);
    return;
  }
  // A host that does not fit the setting is refused rather than cut: a cut
  // name would silently reach a different machine.
  if (std::strlen(host) >= UPSTREAM_HOST_SIZE) {
    next.state = UpstreamState::Unresolved;
    log_activity("Not using proxy: Could not resolve proxy address.");
    publish(next);
    return;
  }
  std::memmove(next.host, host, std::strlen(host) + 1);
  const std::uint32_t address = resolve_host(next.host);
  if (address == RESOLVE_FAILED) {
    next.state = UpstreamState::Unresolved;
    log_activity("Not using proxy: Could not resolve proxy address.");
  } else {
    next.address = address;
    next.state = UpstreamState::InUse;
    log_activity("Using proxy server %s on port %d.", next.host, port);
  }
  publish(next);
}

void reset_upstream_proxy() {
  publish(UpstreamProxy{});
}

void suspend_upstream_proxy() {
  UpstreamProxy next = *setting().load();
  next.address = 0;
  next.state = UpstreamState::Suspended;
  publish(next);
}
