// The desktop's own proxy setting, which Chromium, Chrome, Edge, GNOME Web
// and most desktop programs follow: GNOME's (and its relatives') GSettings
// and KDE Plasma's kioslaverc. On points it at 127.0.0.1:8000 after saving
// what was there (desktopproxy/saved_state.h); off puts the saved setting
// back, but only while the desktop still holds what on wrote: a setting the
// user changed since is left alone.
//
// A desktop that is not running, a missing schema or an unreachable session
// bus skips that part with one note. Runs on the caller's thread; holds no
// state between calls; never throws.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace desktopproxy {

inline constexpr char PROXY_HOST[] = "127.0.0.1";
inline constexpr int PROXY_PORT = 8000;

struct UpstreamFound {
  std::string host;
  int port = 0;
};

struct DesktopOutcome {
  std::vector<std::string> notes;  // what was done or skipped, for the activity log
  // The user's own manual proxy found on the desktop at on: it should become
  // Vellomar's upstream proxy so that it keeps working behind Vellomar.
  std::optional<UpstreamFound> upstream;
};

// GNOME and KDE together; a session with neither gets one note.
DesktopOutcome apply_desktop_proxy(bool enable);

}  // namespace desktopproxy
