// What pointing one desktop's proxy setting at Vellomar (or back) did, shared
// by the GNOME and KDE parts and the function that runs both
// (desktopproxy/desktop_proxy.h). Plain data; no calls.
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

}  // namespace desktopproxy
