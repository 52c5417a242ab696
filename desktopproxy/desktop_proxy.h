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

#include "desktopproxy/desktop_outcome.h"

namespace desktopproxy {

// GNOME and KDE together; a session with neither gets one note.
DesktopOutcome apply_desktop_proxy(bool enable);

}  // namespace desktopproxy
