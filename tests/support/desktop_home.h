// For tests of the desktop side (the desktop's proxy setting, the Firefox
// profiles): one machine for the whole test program, since the registry
// settles on its folder at its first call, whose user has a home folder of
// its own (Machine::make_home) that every test starts afresh, with no stored
// Vellomar settings. GSettings keep their values in memory and no desktop
// session or session bus is named, so nothing of the real user's desktop is
// touched. Including this header registers the program's machine.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/registry.h"
#include "tests/support/machine.h"

namespace vmtest {

class DesktopHomeEnvironment : public MachineEnvironment {
 public:
  DesktopHomeEnvironment() : MachineEnvironment("desktop") {}

 protected:
  void prepare(Machine& machine) override {
    machine.make_home();
    setenv("GSETTINGS_BACKEND", "memory", 1);
    unsetenv("KDE_FULL_SESSION");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
};

inline const ::testing::Environment* const desktop_home_environment =
    ::testing::AddGlobalTestEnvironment(new DesktopHomeEnvironment);

inline fs::path home_dir() {
  return MachineEnvironment::machine().home();
}

// A fresh home and no saved Vellomar settings before each test.
class DesktopHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ignored;
    fs::remove_all(home_dir(), ignored);
    MachineEnvironment::machine().make_home();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Vellomar");
  }
};

}  // namespace vmtest
