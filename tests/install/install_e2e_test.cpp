// setup run from a copy of the distribution folder, and vmremove, each in a
// machine folder of its own.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/programs.h"
#include "tests/support/registry.h"

namespace {

using vmtest::box;
using vmtest::eventually;
using Machine = vmtest::ProgramMachine;
namespace fs = std::filesystem;

constexpr char RUN_COMMAND[] = "C:\\Program Files\\Vellomar\\Vellomar.exe";
constexpr char BROWSER_QUESTION[] =
    "Vellomar is Installed.\n\nDo you want setup to update Internet Explorer's and Netscape's "
    "Proxy Settings?\nYou can choose no and read the instructions to do it manually.\n\n\n***** "
    "WARNING: IF YOU ARE USING A PROXY SERVER, CHOOSE NO! *****";
constexpr char REMOVE_QUESTION[] =
    "This Removes Vellomar from Internet Explorer, Netscape and your computer's startup.\r\n"
    "Close all Internet Explorer and Netscape windows before proceeding.\r\n"
    "Also, if Vellomar is still running. right-clicking on it's menu (next to your clock) and "
    "choose 'Exit Vellomar'\r\n"
    "Do you want to continue?";
const char* const SHIPPED[] = {"Vellomar.EX_", "VMRemove.exe", "Vellomar.ini",    "Vellomar.txt",
                               "Vellomar.hlp", "Vellomar.log", "passthrough.txt", "setup"};

class Install : public ::testing::Test {
 protected:
  void SetUp() override {
    dist = machine.root() / "dist";
    fs::create_directories(dist);
    for (const char* name : SHIPPED) {
      fs::copy_file(fs::path(VELLOMAR_DIST_DIR) / name, dist / name);
    }
  }
  vmtest::Outcome setup(const std::string& answer) {
    return machine.run({(dist / "setup").string()}, dist, answer);
  }
  std::string run_value() {
    return vmtest::value_text(HKEY_LOCAL_MACHINE, vmtest::RUN_KEY, "Vellomar");
  }
  std::string flag(const char* browser) {
    return vmtest::value_text(HKEY_LOCAL_MACHINE, vmtest::INSTALL_FLAGS_KEY, browser);
  }

  Machine machine;
  fs::path dist;
};

TEST_F(Install, AMissingFileStopsSetupBeforeTheRegistry) {
  machine.seed_registry(false);
  fs::remove(dist / "Vellomar.log");
  vmtest::Outcome outcome = setup("yes");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(machine.boxes(),
            std::vector<std::string>{box("Setup Error", "Could not copy files.", 0, "ok")});
  EXPECT_TRUE(fs::is_directory(machine.install_dir()));
  EXPECT_TRUE(fs::is_empty(machine.install_dir()));
  EXPECT_EQ(run_value(), "<none>");
}

TEST_F(Install, WithoutTheStartUpKeySetupSaysSo) {
  // A new machine has the key; take it away.
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, vmtest::RUN_KEY.c_str()), ERROR_SUCCESS);
  vmtest::Outcome outcome = setup("yes");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(machine.boxes(),
            std::vector<std::string>{box("Setup Error", "Could not open registry", 0, "ok")});
  EXPECT_TRUE(fs::exists(machine.install_dir() / "Vellomar.exe"));
}

TEST_F(Install, KeepsTheUsersPassThroughListButInstallsTheDefaultOtherwise) {
  // Without the start-up key setup stops right after copying.
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, vmtest::RUN_KEY.c_str()), ERROR_SUCCESS);
  fs::create_directories(machine.install_dir());
  vmtest::write_file(machine.install_dir() / "passthrough.txt", "mine.example\n");
  setup("yes");
  EXPECT_EQ(vmtest::read_file(machine.install_dir() / "passthrough.txt"), "mine.example\n");
  fs::remove(machine.install_dir() / "passthrough.txt");
  setup("yes");
  EXPECT_EQ(vmtest::read_file(machine.install_dir() / "passthrough.txt"),
            vmtest::read_file(dist / "passthrough.txt"));
}

TEST_F(Install, AnsweredNoSetupShowsTheInstructionsAndStartsVellomar) {
  ASSERT_TRUE(eventually(vmtest::port_8000_refused));
  machine.seed_registry();
  machine.record_calls("notepad");
  vmtest::Outcome outcome = setup("no");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(machine.boxes(),
            (std::vector<std::string>{box("Vellomar Setup", BROWSER_QUESTION, 4, "no"),
                                      box("Vellomar Setup", "Setup Complete.", 0, "ok")}));
  EXPECT_EQ(run_value(), RUN_COMMAND);
  for (const char* name :
       {"Vellomar.txt", "Vellomar.ini", "Vellomar.hlp", "VMRemove.exe", "passthrough.txt"}) {
    EXPECT_EQ(vmtest::read_file(machine.install_dir() / name), vmtest::read_file(dist / name))
        << name;
  }
  EXPECT_EQ(vmtest::read_file(machine.install_dir() / "Vellomar.exe"),
            vmtest::read_file(dist / "Vellomar.EX_"));
  ASSERT_TRUE(eventually([&] { return !machine.calls("notepad").empty(); }));
  EXPECT_EQ(machine.calls("notepad"), "1|Vellomar.txt\n");
  // The installed main program serves, started by name from its folder.
  ASSERT_TRUE(eventually(vmtest::port_8000_serves));
  EXPECT_EQ(machine.vmtray({"menu"}).status, 0);
  EXPECT_EQ(flag("Internet Explorer"), "<none>");
  EXPECT_EQ(flag("Netscape"), "<none>");
  EXPECT_TRUE(
      eventually([&] { return machine.log().find("Vellomar Started") != std::string::npos; }));
}

TEST_F(Install, AnsweredYesSetupPointsBothBrowsersAtTheProxy) {
  ASSERT_TRUE(eventually(vmtest::port_8000_refused));
  machine.seed_registry();
  vmtest::Outcome outcome = setup("yes");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(machine.boxes(),
            (std::vector<std::string>{box("Vellomar Setup", BROWSER_QUESTION, 4, "yes"),
                                      box("Vellomar Setup", "Setup Complete.", 0, "ok")}));
  EXPECT_TRUE(eventually([&] { return flag("Internet Explorer") == "1"; }));
  EXPECT_TRUE(eventually([&] { return flag("Netscape") == "1"; }));
  ASSERT_TRUE(eventually(vmtest::port_8000_serves));
  vmtest::Outcome stop = machine.vmtray({"choose", "Exit Vellomar"}, "yes");
  EXPECT_EQ(stop.status, 0);
  EXPECT_TRUE(eventually(vmtest::port_8000_refused));
  EXPECT_NE(machine.log().find(vmtest::EXITING_LINE), std::string::npos);
}

TEST_F(Install, ARunningVellomarKeepsItsProgramAndTheStartUpEntryIsNotWritten) {
  ASSERT_TRUE(eventually(vmtest::port_8000_refused));
  machine.seed_registry();
  machine.install_files();
  machine.start_background({(machine.install_dir() / "Vellomar.exe").string()}, machine.root());
  ASSERT_TRUE(eventually(vmtest::port_8000_serves));
  // The running program wrote its start-up entry; the user took it away.
  HKEY run_key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, vmtest::RUN_KEY.c_str(), 0, KEY_WRITE, &run_key),
            ERROR_SUCCESS);
  RegDeleteValueA(run_key, "Vellomar");
  RegCloseKey(run_key);
  vmtest::write_file(dist / "Vellomar.txt", "new instructions\n");
  vmtest::Outcome outcome = setup("yes");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(machine.boxes(),
            std::vector<std::string>{box(
                "Setup Error",
                "Could not copy Vellomar.exe. If Vellomar is currently running,\nRight-Click on "
                "it's icon (Next to the clock) and choose 'Exit Vellomar'.\nThen run Setup again.",
                0, "ok")});
  // The other five files are replaced all the same.
  EXPECT_EQ(vmtest::read_file(machine.install_dir() / "Vellomar.txt"), "new instructions\n");
  EXPECT_EQ(run_value(), "<none>");
  EXPECT_TRUE(vmtest::port_8000_serves());
}

class Remove : public Install {
 protected:
  vmtest::Outcome vmremove(const std::string& answer) {
    return machine.run({(dist / "VMRemove.exe").string(), "ignored"}, dist, answer);
  }
  void SetUp() override {
    Install::SetUp();
    machine.seed_registry();
    vmtest::set_string(HKEY_LOCAL_MACHINE, vmtest::RUN_KEY, "Vellomar", RUN_COMMAND);
    vmtest::set_string(HKEY_LOCAL_MACHINE, vmtest::INSTALL_FLAGS_KEY, "Internet Explorer", "1");
    vmtest::set_string(HKEY_LOCAL_MACHINE, vmtest::INSTALL_FLAGS_KEY, "Netscape", "1");
  }
};

TEST_F(Remove, DeclinedChangesNothing) {
  vmtest::Outcome outcome = vmremove("no");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(machine.boxes(),
            std::vector<std::string>{box("Remove Vellomar", REMOVE_QUESTION, 4, "no")});
  EXPECT_EQ(run_value(), RUN_COMMAND);
  EXPECT_EQ(flag("Internet Explorer"), "1");
  EXPECT_EQ(flag("Netscape"), "1");
}

TEST_F(Remove, ConfirmedTakesTheStartUpEntryAndTheBrowsersAway) {
  // Twice: the second run finds the entry gone and does the same.
  for (int run = 0; run < 2; ++run) {
    vmtest::Outcome outcome = vmremove("yes");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(run_value(), "<none>");
    EXPECT_EQ(flag("Internet Explorer"), "0");
    EXPECT_EQ(flag("Netscape"), "0");
  }
  EXPECT_EQ(machine.boxes(), (std::vector<std::string>{
                                 box("Remove Vellomar", REMOVE_QUESTION, 4, "yes"),
                                 box("Remove Vellomar", "Vellomar has been removed.", 0, "ok"),
                                 box("Remove Vellomar", REMOVE_QUESTION, 4, "yes"),
                                 box("Remove Vellomar", "Vellomar has been removed.", 0, "ok")}));
}

TEST_F(Remove, WithoutTheStartUpKeyNothingChanges) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, vmtest::RUN_KEY.c_str());
  vmtest::Outcome outcome = vmremove("yes");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(machine.boxes(),
            (std::vector<std::string>{box("Remove Vellomar", REMOVE_QUESTION, 4, "yes"),
                                      box("Remove Vellomar", "Could not open registry", 0, "ok")}));
  EXPECT_EQ(flag("Internet Explorer"), "1");
}

}  // namespace
