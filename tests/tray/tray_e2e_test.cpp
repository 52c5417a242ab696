// The installed main program as a tray application: its popup menu and
// commands through vmtray, a second copy, stop signals and a missing
// installation.
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
using vmtest::EXITING_LINE;
using Machine = vmtest::ProgramMachine;

constexpr char EXIT_QUESTION[] =
    "If you exit Vellomar your browser may not be able to connect to any sites. Do you want to "
    "exit?";
constexpr int EXIT_QUESTION_TYPE = 0x34;  // MB_YESNO | MB_ICONWARNING

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(eventually(vmtest::port_8000_refused)) << "something else holds port 8000";
    machine.install_files(/*with_remove_program=*/false);
    machine.seed_registry();
  }

  // Starts the installed program and waits until its icon and port answer.
  void start_tray(const std::string& answer = "") {
    pid = machine.start_background({program()}, machine.root(), answer);
    ASSERT_TRUE(eventually([&] { return machine.vmtray({"menu"}).status == 0; }))
        << vmtest::read_file(machine.root() / "background.txt");
    ASSERT_TRUE(eventually(vmtest::port_8000_serves));
  }

  std::string program() const { return (machine.install_dir() / "Vellomar.exe").string(); }

  // Waits for the program to end; its exit status.
  int ended() {
    int status = Machine::wait_for(pid);
    machine.forget(pid);
    return status;
  }

  bool still_running() { return kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

  Machine machine;
  pid_t pid = -1;
};

TEST_F(Tray, MenuFollowsTheBlockingSwitchAndTheToggleIsLogged) {
  start_tray();
  vmtest::Outcome menu = machine.vmtray({"menu"});
  EXPECT_EQ(menu.out,
            "Remove Vellomar\n----\nOpen Setup >\n    With Internet Explorer\n    With Netscape\n"
            "View Log\n----\nExit Vellomar\nStop Blocking Ads\n----\nAbout Vellomar\n");

  vmtest::Outcome off = machine.vmtray({"choose", "Stop Blocking Ads"});
  EXPECT_EQ(off.status, 0);
  EXPECT_TRUE(contains(off.out, "Chose \"Stop Blocking Ads\".")) << off.out;
  EXPECT_TRUE(contains(machine.log(), ": ***** Ad Blocking turned off *****\r\n"));
  EXPECT_TRUE(contains(machine.vmtray({"menu"}).out, "\nStart Blocking Ads\n"));
  EXPECT_EQ(machine.vmtray({"choose", "Stop Blocking Ads"}).status, 1);

  EXPECT_EQ(machine.vmtray({"choose", "Start Blocking Ads"}).status, 0);
  EXPECT_TRUE(contains(machine.log(), ": ***** Ad Blocking turned on *****\r\n"));
  EXPECT_TRUE(contains(machine.vmtray({"menu"}).out, "\nStop Blocking Ads\n"));
}

TEST_F(Tray, ClicksOtherThanTheRightButtonDoNothing) {
  start_tray();
  for (const char* click : {"left", "double"}) {
    vmtest::Outcome outcome = machine.vmtray({"click", click});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(contains(outcome.out, "nothing happened")) << outcome.out;
  }
  EXPECT_TRUE(machine.boxes().empty());
  EXPECT_TRUE(still_running());
}

TEST_F(Tray, UnknownItemsAreNamed) {
  start_tray();
  vmtest::Outcome outcome = machine.vmtray({"choose", "Exit"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(contains(outcome.out, "no item \"Exit\"")) << outcome.out;
  EXPECT_EQ(machine.vmtray({"choose", "Open Setup"}).status, 1);
  EXPECT_EQ(machine.vmtray({"key", "escape"}).status, 1);  // no dialog box open
}

TEST_F(Tray, ViewLogAndOpenSetupStartTheirPrograms) {
  machine.record_calls("notepad");
  machine.record_calls("explorer");
  // The browser's registry entry names a folder that holds its program.
  vmtest::set_string(HKEY_CURRENT_USER, "Software\\Netscape\\Netscape Navigator\\Main",
                     "Install Directory", "C:\\Browsers\\Navigator");
  const auto navigator = machine.prefix() / "drive_c" / "Browsers" / "Navigator" / "Program";
  vmtest::write_file(navigator / "NETSCAPE",
                     "#!/bin/sh\necho \"$#|$1\" > '" + (navigator / "calls").string() + "'\n",
                     true);
  start_tray();

  EXPECT_EQ(machine.vmtray({"choose", "View Log"}).status, 0);
  EXPECT_EQ(machine.vmtray({"choose", "With Internet Explorer"}).status, 0);
  EXPECT_EQ(machine.vmtray({"choose", "With Netscape"}).status, 0);
  const std::string address = "http://127.0.0.1:8000/";
  ASSERT_TRUE(eventually([&] { return !machine.calls("notepad").empty(); }));
  EXPECT_EQ(machine.calls("notepad"), "1|Vellomar.log\n");
  ASSERT_TRUE(eventually([&] { return !machine.calls("explorer").empty(); }));
  EXPECT_EQ(machine.calls("explorer"), "1|" + address + "\n");
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(navigator / "calls"); }));
  EXPECT_EQ(vmtest::read_file(navigator / "calls"), "1|" + address + "\n");
  EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(Tray, ABrowserThatCannotBeStartedIsReported) {
  start_tray();  // no Netscape entry, and nothing in its usual folder
  EXPECT_EQ(machine.vmtray({"choose", "With Netscape"}).status, 0);
  ASSERT_TRUE(eventually([&] { return !machine.boxes().empty(); }));
  EXPECT_EQ(machine.boxes().at(0),
            box("Vellomar",
                "Vellomar could not load Netscape. Open it and go to http://127.0.0.1:8000/ to "
                "run Vellomar's setup.",
                0, "ok"));
  EXPECT_TRUE(still_running());
}

TEST_F(Tray, RemoveEndsTheProgramOnlyWhenTheRemoveProgramSucceeds) {
  machine.record_calls("vmremove", 1);
  start_tray();
  EXPECT_EQ(machine.vmtray({"choose", "Remove Vellomar"}).status, 0);
  EXPECT_EQ(machine.calls("vmremove"), "1|\n");
  EXPECT_TRUE(still_running());

  machine.record_calls("vmremove", 0);
  vmtest::Outcome removed = machine.vmtray({"choose", "Remove Vellomar"});
  EXPECT_EQ(removed.status, 0);
  EXPECT_TRUE(contains(removed.out, "Vellomar has ended.")) << removed.out;
  EXPECT_EQ(ended(), 0);
  EXPECT_TRUE(machine.boxes().empty());  // no question asked
  EXPECT_TRUE(contains(machine.log(), EXITING_LINE));
}

TEST_F(Tray, ExitAsksFirst) {
  start_tray();
  vmtest::Outcome declined = machine.vmtray({"choose", "Exit Vellomar"}, "no");
  EXPECT_EQ(declined.status, 0);
  EXPECT_TRUE(still_running());
  EXPECT_TRUE(vmtest::port_8000_serves());
  EXPECT_FALSE(contains(machine.log(), EXITING_LINE));

  vmtest::Outcome confirmed = machine.vmtray({"choose", "Exit Vellomar"}, "yes");
  EXPECT_EQ(confirmed.status, 0);
  EXPECT_TRUE(contains(confirmed.out, "The tray icon is gone.")) << confirmed.out;
  EXPECT_EQ(ended(), 0);
  EXPECT_EQ(machine.boxes(), (std::vector<std::string>{
                                 box("Exit Vellomar", EXIT_QUESTION, EXIT_QUESTION_TYPE, "no"),
                                 box("Exit Vellomar", EXIT_QUESTION, EXIT_QUESTION_TYPE, "yes")}));
  EXPECT_TRUE(contains(machine.log(), EXITING_LINE));
  EXPECT_FALSE(std::filesystem::exists(machine.socket()));
  EXPECT_TRUE(vmtest::port_8000_refused());
}

TEST_F(Tray, TheAboutBoxStaysOpenUntilEscape) {
  start_tray();
  vmtest::Outcome opened = machine.vmtray({"choose", "About Vellomar"});
  EXPECT_EQ(opened.status, 0);
  EXPECT_TRUE(contains(opened.out, "\"About Vellomar\" box is open")) << opened.out;
  // Still serving meanwhile.
  EXPECT_TRUE(vmtest::port_8000_serves());
  vmtest::Outcome closed = machine.vmtray({"key", "escape"});
  EXPECT_EQ(closed.status, 0);
  EXPECT_TRUE(contains(closed.out, "\"About Vellomar\" box is closed.")) << closed.out;
  EXPECT_EQ(machine.vmtray({"key", "escape"}).status, 1);
  EXPECT_TRUE(still_running());
}

TEST_F(Tray, ExitWhileTheAboutBoxIsOpenClosesBoth) {
  start_tray();
  ASSERT_EQ(machine.vmtray({"choose", "About Vellomar"}).status, 0);
  vmtest::Outcome exit = machine.vmtray({"choose", "Exit Vellomar"}, "yes");
  EXPECT_EQ(exit.status, 0) << exit.out;
  EXPECT_TRUE(contains(exit.out, "\"About Vellomar\" box is closed.")) << exit.out;
  EXPECT_TRUE(contains(exit.out, "Vellomar has ended.")) << exit.out;
  EXPECT_EQ(ended(), 0);
  EXPECT_TRUE(contains(machine.log(), EXITING_LINE));
}

class StopSignal : public Tray, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsItLikeExit) {
  start_tray();
  ASSERT_EQ(kill(pid, GetParam()), 0);
  EXPECT_EQ(ended(), 0);
  EXPECT_TRUE(contains(machine.log(), EXITING_LINE));
  EXPECT_FALSE(std::filesystem::exists(machine.socket()));
  EXPECT_EQ(machine.vmtray({"menu"}).status, 2);
  EXPECT_TRUE(vmtest::port_8000_refused());
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? std::string("SIGTERM")
                                                        : std::string("SIGINT");
                         });

TEST_F(Tray, ASecondCopyGivesUpAndTheFirstGoesOn) {
  start_tray();
  vmtest::Outcome second = machine.run({program()}, machine.root());
  EXPECT_EQ(second.status, 255);
  EXPECT_EQ(machine.boxes(),
            std::vector<std::string>{
                box("Vellomar", "Port 8000 is already in use...Exiting...", 16, "ok")});
  EXPECT_TRUE(still_running());
  EXPECT_TRUE(vmtest::port_8000_serves());
  EXPECT_EQ(machine.vmtray({"menu"}).status, 0);
}

TEST_F(Tray, WithoutTheInstallationFolderItEndsAtOnce) {
  std::filesystem::path elsewhere = machine.root() / "Vellomar.exe";
  std::filesystem::rename(machine.install_dir() / "Vellomar.exe", elsewhere);
  std::filesystem::remove_all(machine.install_dir());
  vmtest::Outcome outcome = machine.run({elsewhere.string()}, machine.root());
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(machine.boxes(),
            std::vector<std::string>{
                box("Vellomar", "Vellomar is not installed properly...Exiting...", 16, "ok")});
  EXPECT_TRUE(vmtest::port_8000_refused());
}

}  // namespace
