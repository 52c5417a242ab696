// The two browser switches carried to today's browsers, beside the
// Internet Explorer and Netscape settings: the Internet Explorer switch also
// sets the desktop's proxy setting (GNOME, KDE), the Netscape switch the
// Firefox profiles (desktopproxy/). What was done or skipped goes to the
// activity log, one line each. Main program only (the remove program calls
// desktopproxy directly). Safe from any thread; holds no state.
#pragma once

#include <optional>

#include "desktopproxy/desktop_proxy.h"

// Said to the user wherever a Firefox profile was changed.
inline constexpr char FIREFOX_RESTART_NOTE[] =
    "Firefox reads the new proxy setting when it next starts: restart a running Firefox.";

// Points the desktop's proxy setting at the proxy, or back. A manual proxy
// that the desktop used before is stored as Vellomar's upstream proxy (as the
// Proxy Server page stores it) and returned, so that a caller inside the
// running proxy can apply it at once.
std::optional<desktopproxy::UpstreamFound> point_desktop_proxy(bool enable);

// Points every Firefox profile at the proxy, or back; the number of profiles
// changed.
int point_firefox_profiles(bool enable);
