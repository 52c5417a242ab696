// Test support for the desktop side: one throw-away folder for the whole
// test program that stands for the machine (VELLOMAR_PREFIX, the registry)
// and for the user's home ($HOME, $XDG_CONFIG_HOME), so nothing of the real
// user's desktop is ever touched; GSettings keep their values in memory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/registry.h"

namespace desktop_test {

inline std::filesystem::path& home_dir() {
  static std::filesystem::path dir;
  return dir;
}

inline std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

class DesktopEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vm-desktop-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    home_dir() = root_ / "home";
    std::filesystem::create_directories(home_dir() / ".config");
    setenv("VELLOMAR_PREFIX", (root_ / "machine").c_str(), 1);
    setenv("HOME", home_dir().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_dir() / ".config").c_str(), 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    unsetenv("XDG_CURRENT_DESKTOP");
    unsetenv("KDE_FULL_SESSION");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

 private:
  std::filesystem::path root_;
};

inline const ::testing::Environment* const desktop_environment =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment);

// A fresh home and no saved desktop state before each test.
class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ignored;
    std::filesystem::remove_all(home_dir(), ignored);
    std::filesystem::create_directories(home_dir() / ".config");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Vellomar");
  }
};

}  // namespace desktop_test
