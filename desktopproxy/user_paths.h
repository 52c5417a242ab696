// Where the desktop user's own settings live, and which desktop is running,
// read from the environment at every call (so tests may point them elsewhere).
#pragma once

#include <string>

namespace desktopproxy {

// $HOME, else the home folder of the user database; "" when neither is known.
std::string user_home_dir();

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::string user_config_dir();

// True when $XDG_CURRENT_DESKTOP (a ":"-separated list) names one of the
// desktops that take their proxy from GNOME's settings.
bool gnome_like_desktop();

// True when the desktop is KDE Plasma (its name in $XDG_CURRENT_DESKTOP, or
// $KDE_FULL_SESSION set).
bool kde_desktop();

// True when a D-Bus session bus can be reached without starting one.
bool session_bus_available();

}  // namespace desktopproxy
