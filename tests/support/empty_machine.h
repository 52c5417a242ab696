// One machine for the whole test program, emptied before every test: for
// code that settles on its machine folder at its first registry call and
// keeps it for the program's lifetime. Including this header registers the
// program's machine (C:\Work inside it is the current directory).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/machine.h"
#include "tests/support/registry.h"

namespace vmtest {

class WorkDirEnvironment : public MachineEnvironment {
 public:
  WorkDirEnvironment() : MachineEnvironment("empty") {}

 protected:
  void prepare(Machine& machine) override { machine.enter(machine.drive_c() / "Work"); }
};

inline const ::testing::Environment* const work_dir_environment =
    ::testing::AddGlobalTestEnvironment(new WorkDirEnvironment);

// The program machine's folder (VELLOMAR_PREFIX).
inline const fs::path& machine_dir() {
  return MachineEnvironment::machine().prefix();
}

// Empties the registry and the drives (but C:\Work, the current directory)
// before each test.
class EmptyMachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Files under the machine folder's drives, relative to it, with contents
  // ("<dir>" for a folder).
  static std::map<std::string, std::string> drive_files();
};

inline void EmptyMachineTest::SetUp() {
  ASSERT_NO_FATAL_FAILURE(empty_registry());
  ASSERT_EQ(take_snapshot().size(), 4u);
  for (const auto& entry : fs::directory_iterator(machine_dir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("drive_", 0) == 0 && name != "drive_c") fs::remove_all(entry);
  }
  for (const auto& entry : fs::directory_iterator(machine_dir() / "drive_c")) {
    if (entry.path().filename() != "Work") fs::remove_all(entry);
  }
}

inline std::map<std::string, std::string> EmptyMachineTest::drive_files() {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(machine_dir())) {
    const std::string relative = fs::relative(entry.path(), machine_dir()).string();
    if (relative.rfind("drive_", 0) != 0) continue;
    files[relative] = entry.is_regular_file() ? read_file(entry.path()) : "<dir>";
  }
  return files;
}

}  // namespace vmtest
