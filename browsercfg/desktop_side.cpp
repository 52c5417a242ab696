#include "browsercfg/desktop_side.h"

#include <cstring>

#include "desktopproxy/firefox_profiles.h"
#include "settings/activity_log.h"
#include "settings/registry_settings.h"

std::optional<desktopproxy::UpstreamFound> point_desktop_proxy(bool enable) {
  desktopproxy::DesktopOutcome outcome = desktopproxy::apply_desktop_proxy(enable);
  for (const std::string& note : outcome.notes) log_activity("%s", note.c_str());
  if (!outcome.upstream) return std::nullopt;
  // The stored host field holds at most 79 characters; a longer host is not
  // stored cut (it would name another host).
  if (outcome.upstream->host.size() >= sizeof StoredProxySetting{}.host) {
    log_activity("Desktop proxy %s is too long to be Vellomar's upstream proxy.",
                 outcome.upstream->host.c_str());
    return std::nullopt;
  }
  write_proxy_setting(outcome.upstream->host.c_str(), outcome.upstream->port);
  log_activity("The desktop's proxy %s:%d is now Vellomar's upstream proxy.",
               outcome.upstream->host.c_str(), outcome.upstream->port);
  return outcome.upstream;
}

int point_firefox_profiles(bool enable) {
  desktopproxy::FirefoxOutcome outcome = desktopproxy::apply_firefox_profiles(enable);
  for (const std::string& note : outcome.notes) log_activity("%s", note.c_str());
  return outcome.changed;
}
