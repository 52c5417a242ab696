// The one-letter commands: only the first character counts, case-sensitively,
// and an unknown command changes nothing.
#include "browsercfg/browser_commands.h"

#include <filesystem>
#include <string>

#include "tests/support/empty_machine.h"

namespace browsercfg_test {

using namespace vmtest;
namespace {

const std::string INSTALL = "Software\\Vellomar\\Install";
const std::string IS = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

struct Command {
  std::string name;
  std::string text;
  int result;
  bool configures_ie;
  bool configures_netscape;
};

void PrintTo(const Command& command, std::ostream* out) {
  *out << '"' << command.text << '"';
}

class BrowserCommandTest : public EmptyMachineTest,
                           public ::testing::WithParamInterface<Command> {};

TEST_P(BrowserCommandTest, ActsOnTheFirstCharacterOnly) {
  const Command& command = GetParam();
  create_key(HKEY_CURRENT_USER, IS);
  set_string(HKEY_CURRENT_USER, "Software\\Netscape\\Netscape Navigator\\Main", "Install Directory",
             "C:\\Netscape\\Program");
  create_key(HKEY_CURRENT_USER, "Software\\Netscape\\Netscape Navigator\\biff\\users\\default");
  std::filesystem::create_directories(machine_dir() / "drive_c" / "Netscape" / "Users" / "default");
  RegSnapshot before = take_snapshot();
  auto files_before = drive_files();

  EXPECT_EQ(run_browser_command(command.text.c_str()), command.result);

  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Internet Explorer").data,
            command.configures_ie ? sz_bytes("1") : std::vector<BYTE>{});
  EXPECT_EQ(read_value(HKEY_CURRENT_USER, IS, "ProxyEnable").data,
            (command.configures_ie ? std::vector<BYTE>{1, 0, 0, 0} : std::vector<BYTE>{}));
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Netscape").data,
            command.configures_netscape ? sz_bytes("1") : std::vector<BYTE>{});
  EXPECT_EQ(std::filesystem::exists(machine_dir() / "drive_c" / "Netscape" / "Users" / "default" /
                                    "Prefs.js"),
            command.configures_netscape);
  if (!command.configures_ie && !command.configures_netscape) {
    EXPECT_EQ(take_snapshot(), before);
    EXPECT_EQ(drive_files(), files_before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, BrowserCommandTest,
    ::testing::Values(Command{"I", "I", 0, true, false},
                      Command{"Install", "Install", 0, true, false},
                      Command{"IThenN", "I N", 0, true, false}, Command{"N", "N", 0, false, true},
                      Command{"R", "R", 0, false, false}, Command{"LowerI", "i", -1, false, false},
                      Command{"LowerN", "n", -1, false, false}, Command{"X", "x", -1, false, false},
                      Command{"Blank", " I", -1, false, false},
                      Command{"Empty", "", -1, false, false}),
    [](const auto& info) { return info.param.name; });

// "R" carries the switches that are on to today's browsers again (here a
// Firefox profile in the test's home folder), and nothing else.
TEST_F(EmptyMachineTest, RReappliesFirefoxProfilesOnlyWhileNetscapeIsTicked) {
  const std::filesystem::path firefox = machine_dir() / "mozilla" / "firefox";
  write_file(firefox / "profiles.ini", "[Profile0]\nIsRelative=1\nPath=p.default\n");
  std::filesystem::create_directories(firefox / "p.default");
  EXPECT_EQ(run_browser_command("R"), 0);
  EXPECT_FALSE(std::filesystem::exists(firefox / "p.default" / "user.js"));
  set_string(HKEY_LOCAL_MACHINE, INSTALL, "Netscape", "1");
  EXPECT_EQ(run_browser_command("R"), 0);
  EXPECT_NE(
      read_file(firefox / "p.default" / "user.js").find("user_pref(\"network.proxy.type\", 1);"),
      std::string::npos);
  std::filesystem::remove_all(machine_dir() / "mozilla");
}

}  // namespace
}  // namespace browsercfg_test
