// Linked into every test program: the tests and every program they start
// write the user's desktop files (autostart and menu entries) into a folder
// of their own, never into the real home, and run headless unless a test
// hands a display of its own to the programs it starts.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

struct IsolatedDesktop {
  std::string root;
  IsolatedDesktop() {
    char pattern[] = "/tmp/vm-test-home-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    root = pattern;
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
  ~IsolatedDesktop() {
    if (root.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

const IsolatedDesktop isolated_desktop;

}  // namespace
