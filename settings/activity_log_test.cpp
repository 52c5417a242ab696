#include "settings/activity_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "settings/message_box.h"
#include "settings/registry_settings.h"
#include "tests/support/machine.h"
#include "tests/support/registry.h"

namespace fs = std::filesystem;

namespace {

constexpr std::time_t SUNDAY_6_DECEMBER_2026_12_39_02 = 1796560742;

std::time_t fixed_clock() {
  return SUNDAY_6_DECEMBER_2026_12_39_02;
}

// A fresh machine per test, the installation folder as the current
// directory, UTC as local time and a fixed clock.
class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.enter(install_);
    setenv("TZ", "UTC", 1);
    tzset();
    log_clock = fixed_clock;
  }

  static void set_enabled(const char* text) {
    vmtest::set_string(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", "Enabled", text);
  }
  std::string log_path() const { return install_ + "/vellomar.log"; }

  vmtest::Machine machine_{"log"};
  std::string prefix_ = machine_.prefix().string();
  std::string install_ = machine_.install_dir().string();
};

TEST_F(ActivityLogTest, EntryHasStampMessageAndCrLf) {
  write_log_enabled(1);
  log_activity("Blocked Ad: %s%s", "ads.example.com", "/banner.gif");
  log_activity("ERROR:\t*****Accept Failed!*****");
  EXPECT_EQ(vmtest::read_file(log_path()),
            "Sun Dec 06 12:39:02 2026: Blocked Ad: ads.example.com/banner.gif\r\n"
            "Sun Dec 06 12:39:02 2026: ERROR:\t*****Accept Failed!*****\r\n");
}

struct StampCase {
  std::time_t when;
  const char* expected;
};

void PrintTo(const StampCase& c, std::ostream* os) {
  *os << c.when;
}

class LogTimeTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(LogTimeTest, FormatsTwentyFourCharacters) {
  setenv("TZ", "UTC", 1);
  tzset();
  char out[25];
  std::memset(out, '#', sizeof out);
  format_log_time(GetParam().when, out);
  EXPECT_STREQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Times, LogTimeTest,
                         ::testing::Values(StampCase{1796560742, "Sun Dec 06 12:39:02 2026"},
                                           StampCase{1772326923, "Sun Mar 01 01:02:03 2026"},
                                           StampCase{0, "Thu Jan 01 00:00:00 1970"},
                                           StampCase{951782400, "Tue Feb 29 00:00:00 2000"}));

TEST_F(ActivityLogTest, StampIsLocalTime) {
  setenv("TZ", "EST5", 1);
  tzset();
  char out[25];
  format_log_time(SUNDAY_6_DECEMBER_2026_12_39_02, out);
  EXPECT_STREQ(out, "Sun Dec 06 07:39:02 2026");
}

TEST_F(ActivityLogTest, OffWritesNothingAndCreatesNoFile) {
  for (int i = 0; i < 20; ++i) log_activity("Blocked Ad: %s%s", "ads.example.com", "/x.gif");
  EXPECT_FALSE(fs::exists(log_path()));
  write_log_enabled(0);
  for (int i = 0; i < 20; ++i) log_activity("Blocked Ad: %s%s", "ads.example.com", "/x.gif");
  EXPECT_TRUE(fs::is_empty(install_));
}

TEST_F(ActivityLogTest, RegistryDamageIsLoggedWhileLoggingIsOff) {
  log_registry_damage("moved to registry.db.damaged-x");
  EXPECT_EQ(vmtest::read_file(log_path()),
            "Sun Dec 06 12:39:02 2026: ERROR:\t*****Registry Damaged***** moved to "
            "registry.db.damaged-x\r\n");
}

struct EnabledCase {
  const char* text;
  bool on;
};

void PrintTo(const EnabledCase& c, std::ostream* os) {
  std::string name;
  for (const char* p = c.text; *p != '\0'; ++p) name += std::isalnum(*p) ? *p : '_';
  *os << (name.empty() ? "empty" : name);
}

class EnabledTest : public ActivityLogTest, public ::testing::WithParamInterface<EnabledCase> {};

TEST_P(EnabledTest, OnlyLeadingOneTurnsLoggingOn) {
  set_enabled(GetParam().text);
  log_activity("***** Ad Blocking turned on *****");
  EXPECT_EQ(fs::exists(log_path()), GetParam().on) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(Values, EnabledTest,
                         ::testing::Values(EnabledCase{"1", true}, EnabledCase{"1 ", true},
                                           EnabledCase{"01", true}, EnabledCase{" 1", true},
                                           EnabledCase{"", false}, EnabledCase{"0", false},
                                           EnabledCase{"x1", false}, EnabledCase{"2", false},
                                           EnabledCase{"-1", false}));

TEST_F(ActivityLogTest, DeletedFileIsCreatedAnew) {
  write_log_enabled(1);
  log_activity("first");
  ASSERT_TRUE(fs::remove(log_path()));
  log_activity("second");
  EXPECT_EQ(vmtest::read_file(log_path()), "Sun Dec 06 12:39:02 2026: second\r\n");
}

TEST_F(ActivityLogTest, AppendsToFileNamedInOtherCase) {
  std::ofstream(install_ + "/Vellomar.log", std::ios::binary) << "shipped\r\n";
  write_log_enabled(1);
  log_activity("entry");
  EXPECT_EQ(vmtest::read_file(install_ + "/Vellomar.log"),
            "shipped\r\nSun Dec 06 12:39:02 2026: entry\r\n");
  EXPECT_FALSE(fs::exists(log_path()));
}

TEST_F(ActivityLogTest, LongMessageIsCut) {
  write_log_enabled(1);
  const std::string request(MESSAGE_BUFFER_SIZE + 5000, 'r');
  log_activity("ERROR:\t*****Bad Request Received***** %s", request.c_str());
  const std::string message =
      ("ERROR:\t*****Bad Request Received***** " + request).substr(0, MESSAGE_BUFFER_SIZE - 1);
  EXPECT_EQ(vmtest::read_file(log_path()), "Sun Dec 06 12:39:02 2026: " + message + "\r\n");
}

TEST_F(ActivityLogTest, EntriesOfThreadsStayWhole) {
  write_log_enabled(1);
  const std::string long_text(10000, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&long_text] {
      for (int i = 0; i < 25; ++i) log_activity("Blocked Popup: %s", long_text.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string entry = "Sun Dec 06 12:39:02 2026: Blocked Popup: " + long_text + "\r\n";
  const std::string all = vmtest::read_file(log_path());
  ASSERT_EQ(all.size(), entry.size() * 100);
  for (std::size_t at = 0; at < all.size(); at += entry.size()) {
    ASSERT_EQ(all.compare(at, entry.size(), entry), 0) << "entry at " << at;
  }
}

TEST_F(ActivityLogTest, ShowMessageBoxIsCaptionedVellomar) {
  const int null = open("/dev/null", O_RDONLY);
  const int saved = dup(STDIN_FILENO);
  dup2(null, STDIN_FILENO);
  const std::string boxes = prefix_ + "/boxes.jsonl";
  setenv("VELLOMAR_MSGBOX_LOG", boxes.c_str(), 1);
  show_message(16, "Port %d is already in use...Exiting...", 8000);
  dup2(saved, STDIN_FILENO);
  close(saved);
  close(null);
  EXPECT_EQ(vmtest::read_file(boxes),
            "{\"caption\":\"Vellomar\",\"text\":\"Port 8000 is already in use...Exiting...\","
            "\"type\":16,\"answer\":\"ok\"}\n");
}

}  // namespace
