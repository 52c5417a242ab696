// Test support for the setup pages: a throw-away machine folder with the
// install directory as the current directory, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace setup_test {

// Turns each LF of a transcribed page into CR LF, as the pages are sent.
inline std::string crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// A fresh machine folder for each test, with "C:\Program Files\Vellomar" as
// the current directory and no stored settings.
class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vm-setupweb-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    prefix_ = pattern;
    install_ = prefix_ / "drive_c" / "Program Files" / "Vellomar";
    std::filesystem::create_directories(install_);
    old_dir_ = std::filesystem::current_path();
    setenv("VELLOMAR_PREFIX", prefix_.c_str(), 1);
    // The desktop side of the browser switches acts on $HOME: keep it here.
    setenv("HOME", prefix_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", prefix_.c_str(), 1);
    unsetenv("XDG_CURRENT_DESKTOP");
    std::filesystem::current_path(install_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_dir_);
    unsetenv("VELLOMAR_PREFIX");
    std::error_code ignored;
    std::filesystem::remove_all(prefix_, ignored);
  }

  // The bytes of a file in the install directory; "<missing>" when absent.
  std::string file_bytes(const std::string& name) const {
    std::ifstream in(install_ / name, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  void put_file(const std::string& name, const std::string& bytes) const {
    std::ofstream(install_ / name, std::ios::binary) << bytes;
  }

  std::filesystem::path prefix_;
  std::filesystem::path install_;
  std::filesystem::path old_dir_;
};

}  // namespace setup_test
