// Loading "vellomar.ini" into the list in force: "P" lines and bad lines in
// file order, appending, reloads, and sessions reading across a reload.
#include "filter/rule_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "filter/definitions_parser.h"
#include "filter/matcher.h"
#include "filter/popup_neutraliser.h"
#include "filter/rules_in_force.h"
#include "settings/activity_log.h"
#include "settings/registry_settings.h"
#include "settings/upstream_proxy.h"
#include "tests/support/machine.h"

namespace fs = std::filesystem;

namespace {

std::time_t fixed_clock() {
  return 1796560742;
}

// A fresh machine per test with the installation folder as the current
// directory, logging on, no upstream proxy and an empty list in force.
class LoaderTest : public vmtest::InstallDirTest {
 protected:
  void SetUp() override {
    log_clock = fixed_clock;
    write_log_enabled(1);
    reset_upstream_proxy();
    free_rule_list();
  }
  void TearDown() override {
    free_rule_list();
    reset_upstream_proxy();
  }

  static void write_definitions(const std::string& bytes, const char* name = "vellomar.ini") {
    std::ofstream(name, std::ios::binary) << bytes;
  }

  // The log's messages without their time stamps.
  static std::vector<std::string> log_messages() {
    std::ifstream in("vellomar.log", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> messages;
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      messages.push_back(line.size() >= 26 ? line.substr(26) : line);
      pos = end + 2;
    }
    return messages;
  }

  static std::vector<std::string> texts_in_force() {
    std::vector<std::string> texts;
    for (const AdRule& rule : current_rules().rules) texts.push_back(rule.kind + rule.text);
    return texts;
  }
};

TEST_F(LoaderTest, MissingFileChangesNothing) {
  load_ad_definitions();
  EXPECT_TRUE(current_rules().rules.empty());
  EXPECT_TRUE(log_messages().empty());
  EXPECT_EQ(match_request("ads.example.com", "/x.gif"), VERDICT_PASS);
}

TEST_F(LoaderTest, LoadPutsRulesInFrontOfTheList) {
  write_definitions("Aone\nFtwo\n");
  load_ad_definitions();
  EXPECT_EQ(texts_in_force(), (std::vector<std::string>{"Ftwo", "Aone"}));
  write_definitions("Uthree\n");
  load_ad_definitions();
  EXPECT_EQ(texts_in_force(), (std::vector<std::string>{"Uthree", "Ftwo", "Aone"}));
  EXPECT_EQ(match_request("one", "/x.gif"), VERDICT_BLOCK);
}

TEST_F(LoaderTest, UpperCaseFileNameIsFound) {
  write_definitions("Aone\n", "Vellomar.ini");
  load_ad_definitions();
  EXPECT_EQ(texts_in_force(), std::vector<std::string>{"Aone"});
}

TEST_F(LoaderTest, BadAndProxyLinesActInFileOrder) {
  write_definitions("bad one\nP127.0.0.1:3128\n\tbad two\nP127.0.0.2\nAads.example.com\n");
  load_ad_definitions();
  EXPECT_EQ(log_messages(), (std::vector<std::string>{
                                "ERROR:\t*****Bad Line in Vellomar.ini: bad one",
                                "Using proxy server 127.0.0.1 on port 3128.",
                                "ERROR:\t*****Bad Line in Vellomar.ini: \tbad two",
                                "Using proxy server 127.0.0.2 on port 8000.",
                            }));
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_STREQ(stored.host, "127.0.0.2");
  EXPECT_EQ(stored.port, 8000);
  UpstreamProxy proxy = current_upstream_proxy();
  EXPECT_STREQ(proxy.host, "127.0.0.2");
  EXPECT_TRUE(proxy.in_use());
  EXPECT_EQ(texts_in_force(), std::vector<std::string>{"Aads.example.com"});
}

TEST_F(LoaderTest, ProxyLineWithoutPortIsStoredAndTurnsProxyOff) {
  write_definitions("P127.0.0.1:\n");
  load_ad_definitions();
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_STREQ(stored.host, "127.0.0.1");
  EXPECT_EQ(stored.port, 0);
  EXPECT_FALSE(current_upstream_proxy().in_use());
  EXPECT_EQ(log_messages(), std::vector<std::string>{"Not using a proxy server."});
}

TEST_F(LoaderTest, CrCrLfFileGivesRulesThatMatch) {
  write_definitions("Aads.example.com\r\r\nLpop.example.com\r\r\n");
  load_ad_definitions();
  EXPECT_EQ(texts_in_force(), (std::vector<std::string>{"Lpop.example.com", "Aads.example.com"}));
  EXPECT_EQ(match_request("ads.example.com", "/x.gif"), VERDICT_BLOCK);
}

TEST_F(LoaderTest, ReloadRebuildsFromTheFileAloneAndResetsTheProxy) {
  write_definitions("Aone\n");
  load_ad_definitions();
  select_upstream_proxy("127.0.0.1", 3128);
  write_definitions("Atwo\n");
  reload_ad_definitions();
  EXPECT_EQ(texts_in_force(), std::vector<std::string>{"Atwo"});
  EXPECT_FALSE(current_upstream_proxy().in_use());
  EXPECT_STREQ(current_upstream_proxy().host, "");
}

TEST_F(LoaderTest, ReloadAppliesTheFilesProxyLineAgain) {
  write_definitions("P127.0.0.1:3128\n");
  reload_ad_definitions();
  EXPECT_TRUE(current_upstream_proxy().in_use());
}

TEST_F(LoaderTest, ReloadWithoutFileLeavesEmptyList) {
  write_definitions("Aone\n");
  load_ad_definitions();
  fs::remove("vellomar.ini");
  reload_ad_definitions();
  EXPECT_TRUE(current_rules().rules.empty());
}

TEST_F(LoaderTest, RebuildKeepsTheProxyAsTheCallerLeftIt) {
  select_upstream_proxy("127.0.0.1", 3128);
  suspend_upstream_proxy();
  write_definitions("Atwo\n");
  rebuild_ad_definitions();
  EXPECT_EQ(texts_in_force(), std::vector<std::string>{"Atwo"});
  EXPECT_STREQ(current_upstream_proxy().host, "127.0.0.1");
}

TEST_F(LoaderTest, FreeEmptiesTheList) {
  write_definitions("Aone\n");
  load_ad_definitions();
  free_rule_list();
  EXPECT_TRUE(current_rules().rules.empty());
}

TEST_F(LoaderTest, NeutraliserLogsEachOccurrence) {
  write_definitions("O$example.com\n");
  load_ad_definitions();
  char piece[] = "window.open(1); Window.Open(2); WINDOW.OPEN(3)";
  neutralise_popups(piece, "pop.example.com");
  EXPECT_STREQ(piece, "//ndow.open(1); //ndow.Open(2); //NDOW.OPEN(3)");
  EXPECT_EQ(log_messages(), std::vector<std::string>(3, "Blocked Popup: pop.example.com"));
}

// A session keeps reading the list it started with while another thread
// reloads; each of its calls sees one whole list.
TEST_F(LoaderTest, SessionsMatchWhileReloading) {
  write_definitions("Aads.example.com\nF>.gif\nO<\n");
  load_ad_definitions();
  const RuleList& before = current_rules();
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> sessions;
  for (int t = 0; t < 4; ++t) {
    sessions.emplace_back([&] {
      while (!stop.load()) {
        if (match_request("ads.example.com", "/x.js") != VERDICT_BLOCK) ++wrong;
        char piece[] = "window.open";
        if (neutralise_popups_quietly(current_rules(), piece, "h") != 1) ++wrong;
      }
    });
  }
  for (int i = 0; i < 200; ++i) reload_ad_definitions();
  stop = true;
  for (std::thread& session : sessions) session.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(before.rules.size(), 3u);
}

}  // namespace

// Converted lists of the "Lists" folder load beside the user's file, at
// start-up and at each reload; the user's rules are asked first, a list's
// exceptions and its limits to third-party requests hold, and "P", "N", "L"
// and "O" lines in a list are ignored.
TEST_F(LoaderTest, ImportedListsLoadBesideTheUsersFile) {
  fs::create_directory("Lists");
  std::ofstream("Lists/one.ini", std::ios::binary)
      << "# header\nAads.example\nNads.example/pop\nP127.0.0.9:1\n#@U<ads.example/ok/\n"
         "#3Atrack.example\nLads.example\n";
  std::ofstream("Lists/notes.txt", std::ios::binary) << "Anot.a.list\n";
  write_definitions("Uads.example/pop\nU<ads.example/ok/user\n");
  load_ad_definitions();
  EXPECT_TRUE(log_messages().empty());  // the list's "P" line was not applied
  EXPECT_EQ(texts_in_force().size(), 2u);
  EXPECT_EQ(match_request("ads.example", "/x.gif"), VERDICT_BLOCK);
  EXPECT_EQ(match_request("ads.example", "/ok/x.gif"), VERDICT_PASS);
  EXPECT_EQ(match_request("ads.example", "/ok/user.gif"), VERDICT_BLOCK);
  EXPECT_EQ(match_request("not.a.list", "/x.gif"), VERDICT_PASS);
  EXPECT_EQ(match_request("track.example", " *HTTPS*"), VERDICT_BLOCK);
  EXPECT_EQ(match_request_from("track.example", "/x.gif", RequestParty::FIRST_PARTY), VERDICT_PASS);
  char piece[] = "window.open(x)";
  neutralise_popups(piece, "ads.example");
  EXPECT_STREQ(piece, "window.open(x)");

  // A reload that finds the same files keeps the list built from them (it
  // is still alive in the list in force, so a new one could not share its
  // address); a changed file is read anew.
  const ImportedList* built = current_rules().imported.at(0).get();
  reload_ad_definitions();
  EXPECT_EQ(current_rules().imported.at(0).get(), built);
  std::ofstream("Lists/one.ini", std::ios::binary | std::ios::app) << "Anew.example\n";
  reload_ad_definitions();
  EXPECT_EQ(match_request("new.example", "/x.gif"), VERDICT_BLOCK);

  fs::remove_all("Lists");
  reload_ad_definitions();
  EXPECT_EQ(match_request("ads.example", "/x.gif"), VERDICT_PASS);
  EXPECT_EQ(texts_in_force().size(), 2u);
}
