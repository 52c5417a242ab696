// The temporary machine and the file helpers.
#include "tests/support/machine.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <vector>

namespace vmtest {

// What a machine points elsewhere, restored at its end.
constexpr const char* SAVED_VARIABLES[] = {"VELLOMAR_PREFIX",  "HOME",
                                           "XDG_CONFIG_HOME",  "XDG_DATA_HOME",
                                           "XDG_RUNTIME_DIR",  "XDG_CURRENT_DESKTOP",
                                           "GSETTINGS_BACKEND"};

Machine::Machine(std::string_view tag) {
  std::string pattern = (fs::temp_directory_path() / ("vm-" + std::string(tag) + "-XXXXXX"));
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror(("cannot make a machine folder " + pattern).c_str());
    std::abort();
  }
  root_ = pattern;
  for (const char* name : SAVED_VARIABLES) {
    if (const char* old = std::getenv(name)) saved_[name] = old;
  }
  unsetenv("XDG_CURRENT_DESKTOP");
  use_prefix("machine");
}

Machine::~Machine() {
  std::error_code ignored;
  if (old_cwd_) fs::current_path(*old_cwd_, ignored);
  for (const char* name : SAVED_VARIABLES) {
    const auto old = saved_.find(name);
    if (old != saved_.end()) {
      setenv(name, old->second.c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  fs::remove_all(root_, ignored);
}

fs::path Machine::make_install_dir() const {
  fs::create_directories(install_dir());
  return install_dir();
}

void Machine::enter(const fs::path& dir) {
  fs::create_directories(dir);
  if (!old_cwd_) old_cwd_ = fs::current_path();
  fs::current_path(dir);
}

void Machine::use_prefix(std::string_view name) {
  prefix_ = root_ / name;
  fs::create_directories(prefix_);
  setenv("VELLOMAR_PREFIX", prefix_.c_str(), 1);
  setenv("HOME", prefix_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", prefix_.c_str(), 1);
}

void Machine::make_home() {
  fs::create_directories(home() / ".config");
  fs::create_directories(home() / "runtime");
  fs::permissions(home() / "runtime", fs::perms::owner_all);
  setenv("HOME", home().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home() / ".config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home() / ".local" / "share").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home() / "runtime").c_str(), 1);
}

std::vector<std::string> Machine::boxes() const {
  return read_lines(box_log());
}

namespace {
std::unique_ptr<Machine>& program_machine() {
  static std::unique_ptr<Machine> machine;
  return machine;
}
}  // namespace

void MachineEnvironment::SetUp() {
  program_machine() = std::make_unique<Machine>(tag_);
  prepare(*program_machine());
}

void MachineEnvironment::TearDown() {
  program_machine().reset();
}

Machine& MachineEnvironment::machine() {
  return *program_machine();
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, std::string_view bytes, bool executable) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
  if (executable) fs::permissions(path, fs::perms::owner_exec, fs::perm_options::add);
}

void replace_file(const fs::path& path, std::string_view bytes) {
  fs::path aside = path;
  aside += ".new";
  write_file(aside, bytes);
  fs::rename(aside, path);
}

std::vector<std::string> read_lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::istringstream text(read_file(path));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

std::string command_output(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  return output;
}

}  // namespace vmtest
