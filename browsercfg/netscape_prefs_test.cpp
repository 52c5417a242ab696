// Netscape configuration over seeded profiles: the five lines appended with
// CR LF, profile names with spaces, other drives, missing profile folders and
// files without a final line break.
#include "browsercfg/netscape_prefs.h"

#include <filesystem>
#include <string>

#include "tests/support/empty_machine.h"

namespace browsercfg_test {

using namespace vmtest;
namespace {

namespace fs = std::filesystem;

const std::string MAIN = "Software\\Netscape\\Netscape Navigator\\Main";
const std::string USERS = "Software\\Netscape\\Netscape Navigator\\biff\\users";
const std::string INSTALL = "Software\\Vellomar\\Install";

std::string lines(int type) {
  return "user_pref(\"network.proxy.http\", \"127.0.0.1\");\r\n"
         "user_pref(\"network.proxy.http_port\", 8000);\r\n"
         "user_pref(\"network.proxy.ssl\", \"127.0.0.1\");\r\n"
         "user_pref(\"network.proxy.ssl_port\", 8000);\r\n"
         "user_pref(\"network.proxy.type\", " +
         std::to_string(type) + ");\r\n";
}

class NetscapeTest : public EmptyMachineTest {
 protected:
  // The program directory C:\Program Files\Netscape\Program; profile
  // folders live in C:\Program Files\Netscape\Users.
  static void install_netscape() {
    set_string(HKEY_CURRENT_USER, MAIN, "Install Directory",
               "C:\\Program Files\\Netscape\\Program");
  }
  static fs::path users_dir() {
    return machine_dir() / "drive_c" / "Program Files" / "Netscape" / "Users";
  }
  static void add_profile(const std::string& name, const std::string& folder) {
    create_key(HKEY_CURRENT_USER, USERS + "\\" + name);
    if (!folder.empty()) fs::create_directories(users_dir() / folder);
  }
  static std::string prefs(const std::string& folder) {
    return read_file(users_dir() / folder / "Prefs.js");
  }
};

TEST_F(NetscapeTest, OnAppendsFiveLinesEndingInCrLf) {
  install_netscape();
  add_profile("default", "default");
  configure_netscape_proxy(1);
  EXPECT_EQ(prefs("default"), lines(1));
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Netscape"), (RegValue{REG_SZ, sz_bytes("1")}));
}

TEST_F(NetscapeTest, OnTwiceAppendsTwoGroups) {
  install_netscape();
  add_profile("default", "default");
  configure_netscape_proxy(1);
  configure_netscape_proxy(1);
  EXPECT_EQ(prefs("default"), lines(1) + lines(1));
}

TEST_F(NetscapeTest, OffAppendsDirectConnectionAfterEarlierLines) {
  install_netscape();
  add_profile("default", "default");
  write_file(users_dir() / "default" / "Prefs.js", "user_pref(\"browser.startup.page\", 1);\r\n");
  configure_netscape_proxy(1);
  configure_netscape_proxy(0);
  EXPECT_EQ(prefs("default"), "user_pref(\"browser.startup.page\", 1);\r\n" + lines(1) + lines(0));
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Netscape"), (RegValue{REG_SZ, sz_bytes("0")}));
}

TEST_F(NetscapeTest, FileWithoutFinalLineBreakGetsFirstLineRunOn) {
  install_netscape();
  add_profile("default", "default");
  write_file(users_dir() / "default" / "Prefs.js", "// last line");
  configure_netscape_proxy(1);
  EXPECT_EQ(prefs("default"), "// last line" + lines(1));
}

struct ProfileName {
  std::string registry;
  std::string folder;
};

void PrintTo(const ProfileName& name, std::ostream* out) {
  *out << '"' << name.registry << '"';
}

class ProfileNameTest : public NetscapeTest, public ::testing::WithParamInterface<ProfileName> {};

TEST_P(ProfileNameTest, SpacesBecomeUnderscores) {
  install_netscape();
  add_profile(GetParam().registry, GetParam().folder);
  configure_netscape_proxy(1);
  EXPECT_EQ(prefs(GetParam().folder), lines(1));
}

INSTANTIATE_TEST_SUITE_P(Names, ProfileNameTest,
                         ::testing::Values(ProfileName{"John Smith", "John_Smith"},
                                           ProfileName{" two  spaces ", "_two__spaces_"},
                                           ProfileName{"Plain", "Plain"},
                                           ProfileName{"under_score", "under_score"}));

TEST_F(NetscapeTest, ProgramDirectoryOnAnotherDrive) {
  set_string(HKEY_CURRENT_USER, MAIN, "Install Directory", "D:\\Apps\\Browser\\Program");
  create_key(HKEY_CURRENT_USER, USERS + "\\John Smith");
  fs::create_directories(machine_dir() / "drive_d" / "Apps" / "Browser" / "Users" / "John_Smith");
  configure_netscape_proxy(1);
  EXPECT_EQ(read_file(machine_dir() / "drive_d" / "Apps" / "Browser" / "Users" / "John_Smith" /
                      "Prefs.js"),
            lines(1));
}

TEST_F(NetscapeTest, MissingProfileFolderIsSkippedAndNotCreated) {
  install_netscape();
  add_profile("Alpha", "");
  add_profile("Beta", "Beta");
  add_profile("Gamma", "");
  configure_netscape_proxy(1);
  EXPECT_EQ(prefs("Beta"), lines(1));
  EXPECT_FALSE(fs::exists(users_dir() / "Alpha"));
  EXPECT_FALSE(fs::exists(users_dir() / "Gamma"));
}

TEST_F(NetscapeTest, InstallFlagWrittenWithoutNetscape) {
  auto files_before = drive_files();
  RegSnapshot before = take_snapshot();
  configure_netscape_proxy(1);
  RegSnapshot after = take_snapshot();
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Netscape"), (RegValue{REG_SZ, sz_bytes("1")}));
  after.erase("HKLM\\Software\\Vellomar\\Install");
  after.erase("HKLM\\Software\\Vellomar");
  after.erase("HKLM\\Software");
  EXPECT_EQ(after, before);
  EXPECT_EQ(drive_files(), files_before);
}

TEST_F(NetscapeTest, NoProgramDirectoryMeansTheCurrentDrivesRoot) {
  // The current directory is C:\Work, so "\..\Users\Beta" is C:\Users\Beta.
  add_profile("Beta", "");
  fs::create_directories(machine_dir() / "drive_c" / "Users" / "Beta");
  configure_netscape_proxy(1);
  EXPECT_EQ(read_file(machine_dir() / "drive_c" / "Users" / "Beta" / "Prefs.js"), lines(1));
}

TEST_F(NetscapeTest, ProgramDirectoryOfAnyTypeWithoutTerminator) {
  const std::string directory = "C:\\Program Files\\Netscape\\Program";
  set_value(HKEY_CURRENT_USER, MAIN, "Install Directory", REG_BINARY,
            std::vector<BYTE>(directory.begin(), directory.end()));
  add_profile("default", "default");
  configure_netscape_proxy(1);
  EXPECT_EQ(prefs("default"), lines(1));
}

}  // namespace
}  // namespace browsercfg_test
