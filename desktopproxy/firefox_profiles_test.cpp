#include "desktopproxy/firefox_profiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include "desktopproxy/user_js.h"
#include "tests/support/desktop_home.h"

using namespace desktopproxy;
using vmtest::DesktopHomeTest;
using vmtest::home_dir;
using vmtest::read_file;
using vmtest::write_file;

namespace {

constexpr char TYPE_ZERO[] = "user_pref(\"network.proxy.type\", 0);";
constexpr char OUR_TYPE[] = "user_pref(\"network.proxy.type\", 1);";
constexpr char OUR_HTTP[] = "user_pref(\"network.proxy.http\", \"127.0.0.1\");";

SavedPrefs type_zero_saved() {
  SavedPrefs saved;
  saved[4] = TYPE_ZERO;
  return saved;
}

// ---- the marked block in user.js --------------------------------------------

struct BlockCase {
  const char* name;
  std::string user_js;  // the user's own text, without any block
};

class UserJsBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(UserJsBlock, OnAddsOneBlockAndOffGivesTheUsersTextBackByteForByte) {
  const std::string& before = GetParam().user_js;
  std::string on = with_proxy_block(before, type_zero_saved());
  // On twice is on once.
  EXPECT_EQ(with_proxy_block(on, type_zero_saved()), on);
  ASSERT_NE(on.find(OUR_TYPE), std::string::npos);
  EXPECT_EQ(on.find(OUR_TYPE), on.rfind(OUR_TYPE));
  EXPECT_EQ(saved_prefs_in(on), type_zero_saved());
  // The user's lines keep their place and their bytes; the block uses their
  // line ending.
  const bool crlf = before.find("\r\n") != std::string::npos;
  EXPECT_EQ(on.find("\r\n") != std::string::npos, crlf);
  if (!before.empty() && before.back() == '\n') {
    EXPECT_EQ(on.substr(0, before.size()), before);
  }
  EXPECT_EQ(without_blocks(on), before);
  EXPECT_EQ(saved_prefs_in(without_blocks(on)), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UserJsBlock,
    ::testing::Values(BlockCase{"Absent", ""},
                      BlockCase{"UsersOwnLines",
                                "// mine\nuser_pref(\"browser.startup.page\", 3);\n"
                                "user_pref(\"network.proxy.type\", 4);\n"},
                      BlockCase{"CrLf", "user_pref(\"a.b\", 1);\r\nuser_pref(\"c\", \"d\");\r\n"},
                      BlockCase{"NoFinalLineBreak", "user_pref(\"a.b\", 1);"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UserJsBlock, TwoBlocksAreBothRemovedAndTheFirstOnesSavedLinesCount) {
  SavedPrefs other;
  other[4] = "user_pref(\"network.proxy.type\", 2);";
  const std::string mine = "user_pref(\"x\", 1);\n";
  std::string text = with_proxy_block(mine, type_zero_saved());
  text += "user_pref(\"y\", 2);\n";
  // A second block, as an older copy or a hand edit might leave.
  text += with_proxy_block("", other);
  EXPECT_EQ(saved_prefs_in(text), type_zero_saved());
  EXPECT_EQ(without_blocks(text), mine + "user_pref(\"y\", 2);\n");
  std::string once = with_proxy_block(text, *saved_prefs_in(text));
  EXPECT_EQ(once.find("// >>>"), once.rfind("// >>>"));
}

TEST(UserJsBlock, ABlockWithoutItsEndLineLosesOnlyItsOwnLines) {
  std::string text = with_proxy_block("user_pref(\"x\", 1);\n", type_zero_saved());
  text.erase(text.find("// <<<"));
  text += "user_pref(\"added.later\", true);\n";
  EXPECT_EQ(without_blocks(text), "user_pref(\"x\", 1);\nuser_pref(\"added.later\", true);\n");
}

TEST(UserJsBlock, RestoreBlockSetsSavedValuesAndDefaultsForTheRest) {
  std::string text = with_restore_block("", type_zero_saved());
  EXPECT_NE(text.find(std::string(TYPE_ZERO) + "\n// <<<"), std::string::npos);
  EXPECT_NE(text.find("user_pref(\"network.proxy.http\", \"\");"), std::string::npos);
  EXPECT_EQ(saved_prefs_in(text), type_zero_saved());
}

TEST(PrefsJs, OurValuesGoBackAndTheUsersLaterChangesStay) {
  SavedPrefs saved;
  saved[0] = "user_pref(\"network.proxy.http\", \"corp\");";
  saved[4] = TYPE_ZERO;
  const std::string proxied = std::string("user_pref(\"a\", 1);\n") + OUR_HTTP +
                              "\nuser_pref(\"network.proxy.http_port\", 8000);\n" + OUR_TYPE +
                              "\nuser_pref(\"z\", 2);\n";
  EXPECT_EQ(restored_prefs_js(proxied, saved),
            "user_pref(\"a\", 1);\nuser_pref(\"network.proxy.http\", \"corp\");\n" +
                std::string(TYPE_ZERO) + "\nuser_pref(\"z\", 2);\n");
  // Firefox never ran while on: the saved lines are still there.
  const std::string untouched = std::string("user_pref(\"a\", 1);\n") + TYPE_ZERO + "\n";
  SavedPrefs type_only = type_zero_saved();
  EXPECT_EQ(restored_prefs_js(untouched, type_only), untouched);
  // A type the user chose meanwhile is theirs.
  const std::string users = "user_pref(\"network.proxy.type\", 4);\n";
  EXPECT_EQ(restored_prefs_js(users, type_only), users);
}

// ---- profiles.ini -----------------------------------------------------------

TEST(ProfilesIni, RelativeAndAbsoluteProfilesOnlyFromProfileSections) {
  const std::string ini =
      "[Install4F96D1932A9F858E]\r\nDefault=abc.default-release\r\n\r\n"
      "[Profile1]\r\nName=work\r\nIsRelative=0\r\nPath=/data/ff/work\r\n\r\n"
      "[Profile0]\r\nName=default\r\nIsRelative=1\r\nPath=abc.default-release\r\nDefault=1\r\n"
      "[General]\r\nStartWithLastProfile=1\r\n";
  EXPECT_EQ(profile_folders_in(ini, "/h/.mozilla/firefox"),
            (std::vector<std::string>{"/data/ff/work", "/h/.mozilla/firefox/abc.default-release"}));
  EXPECT_TRUE(profile_folders_in("[General]\nVersion=2\n", "/x").empty());
}

// ---- profiles on disk ---------------------------------------------------------

class FirefoxProfiles : public DesktopHomeTest {
 protected:
  void SetUp() override {
    DesktopHomeTest::SetUp();
    // One profile in the current layout, one in the older one.
    write_file(home_dir() / ".config/mozilla/firefox/profiles.ini",
               "[Profile0]\nName=a\nIsRelative=1\nPath=a.default\n");
    write_file(home_dir() / ".mozilla/firefox/profiles.ini",
               "[Profile0]\nName=b\nIsRelative=1\nPath=b.default\n");
    current_ = home_dir() / ".config/mozilla/firefox/a.default";
    older_ = home_dir() / ".mozilla/firefox/b.default";
    write_file(current_ / "prefs.js", std::string("user_pref(\"a\", 1);\n") + TYPE_ZERO + "\n");
    write_file(older_ / "user.js", "user_pref(\"mine\", true);\r\n");
  }
  std::filesystem::path current_, older_;
};

TEST_F(FirefoxProfiles, OnReachesEveryProfileAndOffLeavesThemAsBefore) {
  const std::string older_before = read_file(older_ / "user.js");
  FirefoxOutcome on = apply_firefox_profiles(true);
  EXPECT_EQ(on.changed, 2);
  EXPECT_EQ(on.running, 0);
  EXPECT_NE(read_file(current_ / "user.js").find(OUR_TYPE), std::string::npos);
  EXPECT_NE(read_file(older_ / "user.js").find(std::string(OUR_TYPE) + "\r\n"), std::string::npos);
  EXPECT_EQ(apply_firefox_profiles(true).changed, 0);

  // Firefox ran meanwhile and wrote the proxied values into prefs.js.
  write_file(current_ / "prefs.js",
             std::string("user_pref(\"a\", 1);\n") + OUR_HTTP + "\n" + OUR_TYPE + "\n");
  FirefoxOutcome off = apply_firefox_profiles(false);
  EXPECT_EQ(off.changed, 2);
  EXPECT_FALSE(std::filesystem::exists(current_ / "user.js"));
  EXPECT_EQ(read_file(current_ / "prefs.js"),
            std::string("user_pref(\"a\", 1);\n") + TYPE_ZERO + "\n");
  EXPECT_EQ(read_file(older_ / "user.js"), older_before);
  EXPECT_EQ(apply_firefox_profiles(false).changed, 0);
}

TEST_F(FirefoxProfiles, RunningFirefoxGetsARestoreBlockAtOff) {
  apply_firefox_profiles(true);
  // A running Firefox's lock link names its process.
  std::filesystem::create_symlink("127.0.1.1:+" + std::to_string(getpid()), current_ / "lock");
  FirefoxOutcome off = apply_firefox_profiles(false);
  EXPECT_EQ(off.running, 1);
  const std::string user_js = read_file(current_ / "user.js");
  EXPECT_NE(user_js.find(std::string(TYPE_ZERO) + "\n// <<<"), std::string::npos);
  // The next on keeps the setting from before the first on.
  std::filesystem::remove(current_ / "lock");
  apply_firefox_profiles(true);
  EXPECT_EQ(saved_prefs_in(read_file(current_ / "user.js")), type_zero_saved());
}

TEST_F(FirefoxProfiles, ReadOnlyUserJsIsSkippedWithANote) {
  write_file(current_ / "user.js", "user_pref(\"x\", 1);\n");
  chmod((current_ / "user.js").c_str(), 0444);
  FirefoxOutcome on = apply_firefox_profiles(true);
  EXPECT_EQ(on.changed, 1);  // the other profile only
  EXPECT_EQ(read_file(current_ / "user.js"), "user_pref(\"x\", 1);\n");
  ASSERT_FALSE(on.notes.empty());
  EXPECT_NE(on.notes[0].find("read-only"), std::string::npos) << on.notes[0];
}

TEST_F(FirefoxProfiles, NoProfilesIniIsOneNote) {
  std::filesystem::remove_all(home_dir() / ".config/mozilla");
  std::filesystem::remove_all(home_dir() / ".mozilla");
  FirefoxOutcome on = apply_firefox_profiles(true);
  EXPECT_EQ(on.changed, 0);
  EXPECT_EQ(on.notes.size(), 1u);
}

}  // namespace
