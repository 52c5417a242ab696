#include "desktopproxy/user_paths.h"

#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace desktopproxy {
namespace {

// Desktops whose programs (Chromium among them) read org.gnome.system.proxy.
constexpr const char* GNOME_LIKE[] = {
    "GNOME",    "GNOME-Flashback", "GNOME-Classic", "Unity", "Cinnamon", "X-Cinnamon",
    "Pantheon", "Budgie",          "Deepin",        "UKUI",  "MATE"};

bool desktop_named(const char* const* names, std::size_t count) {
  const char* value = std::getenv("XDG_CURRENT_DESKTOP");
  if (value == nullptr) return false;
  std::string_view list = value;
  while (!list.empty()) {
    std::size_t colon = list.find(':');
    std::string token(list.substr(0, colon));
    list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
    for (std::size_t i = 0; i < count; ++i) {
      if (strcasecmp(token.c_str(), names[i]) == 0) return true;
    }
  }
  return false;
}

}  // namespace

std::string user_home_dir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  struct passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string user_config_dir() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  std::string home = user_home_dir();
  return home.empty() ? "" : home + "/.config";
}

bool gnome_like_desktop() {
  return desktop_named(GNOME_LIKE, std::size(GNOME_LIKE));
}

bool kde_desktop() {
  static const char* const KDE[] = {"KDE"};
  const char* full = std::getenv("KDE_FULL_SESSION");
  return desktop_named(KDE, 1) || (full != nullptr && full[0] != '\0');
}

bool session_bus_available() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && address[0] != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] == '\0') return false;
  struct stat status;
  return stat((std::string(runtime) + "/bus").c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace desktopproxy
