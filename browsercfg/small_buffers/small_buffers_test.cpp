// The remove program's build of the browser configuration, with 512-character
// name and path buffers: a name that does not fit ends its enumeration, a path
// that would not fit skips its item, and nothing is written past a buffer.
#include <filesystem>
#include <string>

#include "browsercfg/ie_proxy.h"
#include "browsercfg/netscape_prefs.h"
#include "tests/support/empty_machine.h"

namespace browsercfg_test {

using namespace vmtest;
namespace {

namespace fs = std::filesystem;

static_assert(NAME_BUFFER_SIZE == 512);

const std::string IS = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const std::string CONNECTIONS = IS + "\\Connections";
const std::string MAIN = "Software\\Netscape\\Netscape Navigator\\Main";
const std::string USERS = "Software\\Netscape\\Netscape Navigator\\biff\\users";
const std::vector<BYTE> OLD = {0xAA, 0xBB, 0xCC};

bool rewritten(HKEY root, const std::string& path, const std::string& value) {
  return read_value(root, path, value).data.size() == 92;
}

using SmallBuffersTest = EmptyMachineTest;

TEST_F(SmallBuffersTest, ValueNameTooLongEndsTheEnumeration) {
  // Enumerated in order of name: A (511 characters, just fits), B (512, does
  // not fit), C.
  const std::string fits(511, 'A');
  const std::string too_long(512, 'B');
  for (const std::string& name : {fits, too_long, std::string("C")}) {
    set_value(HKEY_CURRENT_USER, CONNECTIONS, name, REG_BINARY, OLD);
  }
  configure_ie_proxy(0);
  EXPECT_TRUE(rewritten(HKEY_CURRENT_USER, CONNECTIONS, fits));
  EXPECT_EQ(read_value(HKEY_CURRENT_USER, CONNECTIONS, too_long).data, OLD);
  EXPECT_EQ(read_value(HKEY_CURRENT_USER, CONNECTIONS, "C").data, OLD);
  // The later steps still ran.
  EXPECT_EQ(read_value(HKEY_CURRENT_USER, IS, "ProxyEnable").data, (std::vector<BYTE>{0, 0, 0, 0}));
}

TEST_F(SmallBuffersTest, DialUpConnectionNameTooLongEndsTheEnumeration) {
  set_value(HKEY_CURRENT_USER, "RemoteAccess\\Addresses", std::string(600, 'A'), REG_BINARY, OLD);
  set_value(HKEY_CURRENT_USER, "RemoteAccess\\Addresses", "Office", REG_BINARY, OLD);
  create_key(HKEY_CURRENT_USER, CONNECTIONS);
  configure_ie_proxy(0);
  RegSnapshot after = take_snapshot();
  EXPECT_TRUE(after["HKCU\\" + CONNECTIONS].empty());
}

// Key names are at most 255 characters, so the longest user name still fits
// the 512-character buffer with the longest suffix.
TEST_F(SmallBuffersTest, LongestUserNameIsHandled) {
  const std::string user(255, 'A');
  create_key(HKEY_USERS, user + "\\" + IS + "\\LAN");
  set_value(HKEY_USERS, user + "\\" + CONNECTIONS, "DefaultConnectionSettings", REG_BINARY, OLD);
  set_value(HKEY_CURRENT_USER, "RemoteAccess\\Addresses", "My ISP", REG_BINARY, OLD);
  configure_ie_proxy(1);
  EXPECT_EQ(read_value(HKEY_USERS, user + "\\" + IS, "ProxyEnable").data,
            (std::vector<BYTE>{1, 0, 0, 0}));
  EXPECT_EQ(read_value(HKEY_USERS, user + "\\" + IS + "\\LAN", "ProxyEnable").data,
            (std::vector<BYTE>{1, 0, 0, 0}));
  EXPECT_TRUE(rewritten(HKEY_USERS, user + "\\" + CONNECTIONS, "DefaultConnectionSettings"));
  EXPECT_TRUE(rewritten(HKEY_USERS, user + "\\" + CONNECTIONS, "My ISP"));
}

// "C:\Netscape", then "\a\.." `folds` times, then "\Program": a long
// program directory that still names C:\Netscape\Program.
std::string long_directory(int folds) {
  std::string directory = "C:\\Netscape";
  for (int i = 0; i < folds; ++i) directory += "\\a\\..";
  return directory + "\\Program";
}

TEST_F(SmallBuffersTest, ProfileWhosePathDoesNotFitIsSkipped) {
  const std::string directory = long_directory(88);  // 459 characters
  ASSERT_EQ(directory.size(), 459u);
  set_string(HKEY_CURRENT_USER, MAIN, "Install Directory", directory);
  const std::string long_profile(60, 'L');
  for (const std::string& profile : {long_profile, std::string("Short")}) {
    create_key(HKEY_CURRENT_USER, USERS + "\\" + profile);
    fs::create_directories(machine_dir() / "drive_c" / "Netscape" / "Users" / profile);
  }
  configure_netscape_proxy(0);
  EXPECT_TRUE(fs::exists(machine_dir() / "drive_c" / "Netscape" / "Users" / "Short" / "Prefs.js"));
  EXPECT_FALSE(
      fs::exists(machine_dir() / "drive_c" / "Netscape" / "Users" / long_profile / "Prefs.js"));
}

TEST_F(SmallBuffersTest, ProgramDirectoryTooLongTouchesNoFile) {
  set_string(HKEY_CURRENT_USER, MAIN, "Install Directory", long_directory(120));
  create_key(HKEY_CURRENT_USER, USERS + "\\default");
  fs::create_directories(machine_dir() / "drive_c" / "Netscape" / "Users" / "default");
  fs::create_directories(machine_dir() / "drive_c" / "Users" / "default");
  auto files_before = drive_files();
  configure_netscape_proxy(0);
  EXPECT_EQ(drive_files(), files_before);
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Install", "Netscape").data,
            sz_bytes("0"));
}

}  // namespace
}  // namespace browsercfg_test
