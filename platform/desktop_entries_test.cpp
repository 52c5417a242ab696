// The autostart entry that follows the start-up value, the application-menu
// entry, and the Exec lines they carry.
#include "platform/desktop_entries.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr char RUN_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char PROGRAM[] = "C:\\Program Files\\Vellomar\\Vellomar.exe";

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A machine and a home of the test's own.
class DesktopEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vm-entries-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    setenv("VELLOMAR_PREFIX", (root_ / "machine").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &run_key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(run_key_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  LONG set_run(const char* name, const std::string& command) {
    return RegSetValueExA(run_key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                          static_cast<DWORD>(command.size() + 1));
  }

  fs::path autostart() const { return root_ / "config" / "autostart" / "vellomar.desktop"; }

  fs::path root_;
  HKEY run_key_ = nullptr;
};

TEST_F(DesktopEntries, AutostartEntryFollowsTheStartUpValue) {
  ASSERT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);
  const std::string entry = read(autostart());
  const std::string program =
      (root_ / "machine" / "drive_c" / "Program Files" / "Vellomar" / "Vellomar.exe").string();
  EXPECT_NE(entry.find("Exec=env VELLOMAR_PREFIX=" + (root_ / "machine").string() + " \"" +
                       program + "\"\n"),
            std::string::npos)
      << entry;
  EXPECT_NE(entry.find("\nX-Vellomar-Generated=true\n"), std::string::npos);

  // Another value of the key is no business of this entry.
  ASSERT_EQ(set_run("Other", "C:\\other.exe"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueA(run_key_, "Other"), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(autostart()));

  ASSERT_EQ(RegDeleteValueA(run_key_, "Vellomar"), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(autostart()));
  // An entry left behind while the value was already gone goes too.
  write(autostart(), "[Desktop Entry]\nX-Vellomar-Generated=true\n");
  EXPECT_EQ(RegDeleteValueA(run_key_, "Vellomar"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(autostart()));
}

TEST_F(DesktopEntries, TheUsersOwnFileIsNeverReplacedOrRemoved) {
  const std::string own = "[Desktop Entry]\nType=Application\nExec=my-vellomar --quiet\n";
  write(autostart(), own);
  EXPECT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);  // the value itself is stored
  EXPECT_EQ(read(autostart()), own);
  EXPECT_EQ(RegDeleteValueA(run_key_, "Vellomar"), ERROR_SUCCESS);
  EXPECT_EQ(read(autostart()), own);
  const fs::path menu_entry = root_ / "data" / "applications" / "vellomar.desktop";
  write(menu_entry, own);
  EXPECT_EQ(platform::install_menu_entry("Vellomar", PROGRAM, "x", "<svg/>"), -1);
  EXPECT_EQ(platform::remove_menu_entry("Vellomar"), -1);
  EXPECT_EQ(read(menu_entry), own);
}

TEST_F(DesktopEntries, RewritingKeepsTheUsersChoiceToSwitchItOff) {
  ASSERT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);
  write(autostart(), read(autostart()) + "Hidden=true\n");
  ASSERT_EQ(set_run("Vellomar", PROGRAM), ERROR_SUCCESS);
  const std::string entry = read(autostart());
  EXPECT_NE(entry.find("\nHidden=true\n"), std::string::npos) << entry;
  EXPECT_EQ(entry.find("Hidden=true"), entry.rfind("Hidden=true"));
}

TEST_F(DesktopEntries, MenuEntryAndIconComeAndGo) {
  ASSERT_EQ(platform::install_menu_entry("Vellomar", PROGRAM, "Blocks ads", "<svg/>\n"), 0);
  const fs::path entry = root_ / "data" / "applications" / "vellomar.desktop";
  const fs::path icon = root_ / "data" / "icons" / "hicolor" / "scalable" / "apps" / "vellomar.svg";
  EXPECT_NE(read(entry).find("\nIcon=vellomar\n"), std::string::npos);
  EXPECT_EQ(read(icon).rfind("<svg/>\n", 0), 0u);
  EXPECT_EQ(platform::remove_menu_entry("Vellomar"), 0);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(fs::exists(icon));

  // An icon of the user's own under that name stays, and is not replaced.
  write(icon, "<svg>mine</svg>");
  EXPECT_EQ(platform::install_menu_entry("Vellomar", PROGRAM, "Blocks ads", "<svg/>"), 0);
  EXPECT_EQ(read(icon), "<svg>mine</svg>");
  EXPECT_EQ(platform::remove_menu_entry("Vellomar"), -1);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(read(icon), "<svg>mine</svg>");
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
  const std::string drive = (root_ / "machine" / "drive_c").string();
  EXPECT_EQ(line, "env VELLOMAR_PREFIX=" + (root_ / "machine").string() + " " +
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
