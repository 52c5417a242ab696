// The one temporary machine every test stands on: a fresh folder under the
// temporary directory, VELLOMAR_PREFIX pointing at the machine folder inside
// it (HOME and XDG_CONFIG_HOME too, since the browser switches also act on
// the desktop's settings there; XDG_CURRENT_DESKTOP unset), and everything
// undone at destruction (the variables and the current directory restored,
// the folder removed).
//
// Layout: root() is the test's own folder; prefix() = root()/"machine" is the
// machine folder the programs see (its drives, its registry). Files a test
// keeps beside the machine (stand-in programs, outputs) go under root().
// prefix() is created empty (no drives, no registry); make_install_dir() and
// enter() create what they name.
//
// Not thread-safe: make and destroy it on the test's main thread (setenv,
// chdir), before the code under test starts threads of its own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vmtest {

namespace fs = std::filesystem;

class Machine {
 public:
  // `tag` names the folder (/tmp/vm-<tag>-XXXXXX) so a kept one can be told
  // apart. Aborts with a message when no folder can be made.
  explicit Machine(std::string_view tag = "test");
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const fs::path& root() const { return root_; }
  const fs::path& prefix() const { return prefix_; }
  fs::path drive_c() const { return prefix_ / "drive_c"; }
  // The host folder of "C:\Program Files\Vellomar".
  fs::path install_dir() const { return drive_c() / "Program Files" / "Vellomar"; }

  // Where the programs started on this machine log their message boxes
  // (VELLOMAR_MSGBOX_LOG), and the boxes logged so far, one JSON line each.
  fs::path box_log() const { return root_ / "boxes.jsonl"; }
  std::vector<std::string> boxes() const;

  // Creates the installation folder; returns it.
  fs::path make_install_dir() const;
  // Creates `dir` and makes it the current directory until destruction.
  void enter(const fs::path& dir);
  // Points VELLOMAR_PREFIX at another, empty machine folder under root() (for
  // tests that move data between machines); prefix() follows.
  void use_prefix(std::string_view name);
  // Gives the user a home folder of its own, home(), apart from the machine
  // folder (for desktop programs and browsers, which fill it): HOME,
  // XDG_CONFIG_HOME (home()/.config), XDG_DATA_HOME (home()/.local/share)
  // and XDG_RUNTIME_DIR (home()/runtime, private, made) point into it.
  void make_home();
  fs::path home() const { return root_ / "home"; }

 private:
  fs::path root_;
  fs::path prefix_;
  std::map<std::string, std::string> saved_;  // variables as they were before
  std::optional<fs::path> old_cwd_;
};

// One machine for the whole test program, for code that keeps what it read
// from the machine for the program's lifetime. Made before the first test,
// removed after the last; register it with
//   ::testing::AddGlobalTestEnvironment(new vmtest::MachineEnvironment("tag"))
class MachineEnvironment : public ::testing::Environment {
 public:
  explicit MachineEnvironment(std::string tag) : tag_(std::move(tag)) {}
  void SetUp() override;
  void TearDown() override;
  // The program's machine; only between SetUp and TearDown.
  static Machine& machine();

 protected:
  // Runs once the machine exists (seed files, change directory).
  virtual void prepare(Machine&) {}

 private:
  std::string tag_;
};

// A fresh machine for each test, with "C:\Program Files\Vellomar" made and
// the current directory, and no stored settings. Base is ::testing::Test or
// ::testing::TestWithParam<T>.
template <class Base = ::testing::Test>
class InstallDirTestOf : public Base {
 protected:
  InstallDirTestOf() { machine_.enter(machine_.make_install_dir()); }
  fs::path install_dir() const { return machine_.install_dir(); }
  // The bytes of a file in the installation folder; "<missing>" when absent.
  std::string file_bytes(const std::string& name) const;
  void put_file(const std::string& name, std::string_view bytes) const;

  Machine machine_;
};
using InstallDirTest = InstallDirTestOf<>;

// ---- files --------------------------------------------------------------

// The whole file, or "" when it cannot be read.
std::string read_file(const fs::path& path);
// Writes `bytes` (creating the parent folders); `executable` adds the owner's
// execute permission.
void write_file(const fs::path& path, std::string_view bytes, bool executable = false);
// Writes aside and renames, so that a running program never reads half a file.
void replace_file(const fs::path& path, std::string_view bytes);
// The lines of a file, split at LF (a CR before it stays).
std::vector<std::string> read_lines(const fs::path& path);

// ---- commands -----------------------------------------------------------

// What `command` (run by sh) printed on its standard output; "" when it
// could not be started.
std::string command_output(const std::string& command);

template <class Base>
std::string InstallDirTestOf<Base>::file_bytes(const std::string& name) const {
  const fs::path path = install_dir() / name;
  return fs::exists(path) ? read_file(path) : "<missing>";
}

template <class Base>
void InstallDirTestOf<Base>::put_file(const std::string& name, std::string_view bytes) const {
  write_file(install_dir() / name, bytes);
}

}  // namespace vmtest
