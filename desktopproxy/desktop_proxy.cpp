#include "desktopproxy/desktop_proxy.h"

#include <cstdlib>
#include <string_view>

#include "desktopproxy/gnome_proxy.h"
#include "desktopproxy/kde_proxy.h"
#include "desktopproxy/user_paths.h"

namespace desktopproxy {

DesktopOutcome apply_desktop_proxy(bool enable) {
  DesktopOutcome outcome;
  const bool gnome = gnome_like_desktop();
  const bool kde = kde_desktop();
  if (!gnome && !kde) {
    outcome.notes.push_back("Desktop proxy: no GNOME or KDE desktop session, skipped.");
    return outcome;
  }
  if (gnome) {
    // GSettings' usual store (dconf) is reached over the session bus; without
    // one, GIO would try to start a bus of its own.
    const char* backend = std::getenv("GSETTINGS_BACKEND");
    const bool needs_bus = backend == nullptr || std::string_view(backend) == "dconf";
    if (needs_bus && !session_bus_available()) {
      outcome.notes.push_back("Desktop proxy (GNOME): no D-Bus session, skipped.");
    } else {
      apply_gnome_proxy(enable, &outcome);
    }
  }
  if (kde) apply_kde_proxy(enable, &outcome);
  return outcome;
}

}  // namespace desktopproxy
