// The autostart entry that follows the start-up value, the application-menu
// entry, and the Exec lines they carry.
#include "platform/desktop_entries.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/registry.h"
#include "tests/support/machine.h"

namespace {

namespace fs = std::filesystem;

constexpr char RUN_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char PROGRAM[] = "C:\\Program Files\\Vellomar\\Vellomar.exe";

// A machine and a home of the test's own.
class DesktopEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.make_home();
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &run_key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(run_key_); }

  LONG set_run(const char* name, const std::string& command) {
    return RegSetValueExA(run_key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                          static_cast<DWORD>(command.size() + 1));
  }

  fs::path autostart() const {
    return machine_.home() / ".config" / "autostart" / "vellomar.desktop";
  }
  fs::path data() const { return machine_.home() / ".local" / "share"; }
  // The Exec line's command for PROGRAM on this machine.
  std::string exec() const {
    return "env VELLOMAR_PREFIX=" + machine_.prefix().string() + " \"" +
           (machine_.install_dir() / "Vellomar.exe").string() + "\"";
  }

  vmtest::Machine machine_{"entries"};
  HKEY run_key_ = nullptr;
};

TEST_F(DesktopEntries, AutostartEntryFollowsTheStartUpValue) {
  ASSERT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);
  EXPECT_EQ(vmtest::read_file(autostart()),
            "[Desktop Entry]\nType=Application\nName=Vellomar\n"
            "Comment=Starts at log-in, as the start-up entry asks\nExec=" +
                exec() +
                "\nIcon=vellomar\nTerminal=false\nNoDisplay=true\nX-Vellomar-Generated=true\n");

  // Another value of the key is no business of this entry.
  ASSERT_EQ(set_run("Other", "C:\\other.exe"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueA(run_key_, "Other"), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(autostart()));

  ASSERT_EQ(RegDeleteValueA(run_key_, "Vellomar"), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(autostart()));
  // An entry left behind while the value was already gone goes too.
  vmtest::write_file(autostart(), "[Desktop Entry]\nX-Vellomar-Generated=true\n");
  EXPECT_EQ(RegDeleteValueA(run_key_, "Vellomar"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(autostart()));
}

TEST_F(DesktopEntries, TheUsersOwnFileIsNeverReplacedOrRemoved) {
  const std::string own = "[Desktop Entry]\nType=Application\nExec=my-vellomar --quiet\n";
  vmtest::write_file(autostart(), own);
  EXPECT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);  // the value itself is stored
  EXPECT_EQ(vmtest::read_file(autostart()), own);
  EXPECT_EQ(RegDeleteValueA(run_key_, "Vellomar"), ERROR_SUCCESS);
  EXPECT_EQ(vmtest::read_file(autostart()), own);
  const fs::path menu_entry = data() / "applications" / "vellomar.desktop";
  vmtest::write_file(menu_entry, own);
  EXPECT_EQ(platform::install_menu_entry("Vellomar", PROGRAM, "x", "<svg/>"), -1);
  EXPECT_EQ(platform::remove_menu_entry("Vellomar"), -1);
  EXPECT_EQ(vmtest::read_file(menu_entry), own);
}

TEST_F(DesktopEntries, RewritingKeepsTheUsersChoiceToSwitchItOff) {
  ASSERT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);
  vmtest::write_file(autostart(), vmtest::read_file(autostart()) + "Hidden=true\n");
  ASSERT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);
  const std::string entry = vmtest::read_file(autostart());
  EXPECT_NE(entry.find("\nHidden=true\n"), std::string::npos) << entry;
  EXPECT_EQ(entry.find("Hidden=true"), entry.rfind("Hidden=true"));
}

TEST_F(DesktopEntries, MenuEntryAndIconComeAndGo) {
  ASSERT_EQ(platform::install_menu_entry("Vellomar", PROGRAM, "Blocks ads", "<svg/>\n"), 0);
  const fs::path entry = data() / "applications" / "vellomar.desktop";
  const fs::path icon = data() / "icons" / "hicolor" / "scalable" / "apps" / "vellomar.svg";
  EXPECT_EQ(vmtest::read_file(entry),
            "[Desktop Entry]\nType=Application\nName=Vellomar\nComment=Blocks ads\nExec=" + exec() +
                "\nIcon=vellomar\nTerminal=false\nCategories=Network;\n"
                "X-Vellomar-Generated=true\n");
  EXPECT_EQ(vmtest::read_file(icon).rfind("<svg/>\n", 0), 0u);
  EXPECT_EQ(platform::remove_menu_entry("Vellomar"), 0);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(fs::exists(icon));

  // An icon of the user's own under that name stays, and is not replaced.
  vmtest::write_file(icon, "<svg>mine</svg>");
  EXPECT_EQ(platform::install_menu_entry("Vellomar", PROGRAM, "Blocks ads", "<svg/>"), 0);
  EXPECT_EQ(vmtest::read_file(icon), "<svg>mine</svg>");
  EXPECT_EQ(platform::remove_menu_entry("Vellomar"), -1);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(vmtest::read_file(icon), "<svg>mine</svg>");
}

struct ExecCase {
  const char* command;
  const char* program_tail;  // the quoted program after the prefix; "" for none
};

class ExecLine : public DesktopEntries, public ::testing::WithParamInterface<ExecCase> {};

// Characters the Exec line treats specially: quoted, escaped, "%" doubled,
// and every backslash doubled once more by the file's string rules.
TEST_P(ExecLine, QuotesWhatTheDesktopWouldReadOtherwise) {
  const std::string line = platform::exec_line(GetParam().command);
  if (GetParam().program_tail[0] == '\0') {
    EXPECT_EQ(line, "");
    return;
  }
  const std::string drive = machine_.drive_c().string();
  EXPECT_EQ(line, "env VELLOMAR_PREFIX=" + machine_.prefix().string() + " " +
                      std::string(GetParam().program_tail)
                          .replace(std::string(GetParam().program_tail).find("DRIVE"), 5, drive));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ExecLine,
    ::testing::Values(ExecCase{"C:\\Program Files\\V\\V.exe", "\"DRIVE/Program Files/V/V.exe\""},
                      ExecCase{"C:\\V\\V.exe", "DRIVE/V/V.exe"},
                      ExecCase{"C:\\100%\\$HOME\\a\"b`c",
                               "\"DRIVE/100%%/\\\\$HOME/a\\\\\"b\\\\`c\""},
                      ExecCase{"\"C:\\V\\V.exe\" I -x", "DRIVE/V/V.exe I -x"},
                      ExecCase{"C:\\V\\V.exe\nrm -rf ~", ""}, ExecCase{"", ""}));

TEST(EntryFileName, TakesOnlyPlainNames) {
  EXPECT_EQ(platform::entry_file_name("Vellomar"), "vellomar.desktop");
  EXPECT_EQ(platform::entry_file_name("My-App_2.x"), "my-app_2.x.desktop");
  for (const char* name : {"", ".hidden", "../evil", "a/b", "two words", "tab\t"}) {
    EXPECT_EQ(platform::entry_file_name(name), std::nullopt) << name;
  }
}

}  // namespace
