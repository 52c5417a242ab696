#include "platform/msgbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/machine.h"

namespace {

// Boxes answered without a terminal, recorded in a log of the test's own.
class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const int null = open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    saved_stdin_ = dup(STDIN_FILENO);
    dup2(null, STDIN_FILENO);
    close(null);
    log_ = machine_.box_log().string();
    setenv("VELLOMAR_MSGBOX_LOG", log_.c_str(), 1);
    unsetenv("VELLOMAR_MSGBOX_ANSWER");
  }
  void TearDown() override {
    dup2(saved_stdin_, STDIN_FILENO);
    close(saved_stdin_);
  }
  std::vector<std::string> lines() {
    std::ifstream in(log_);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
  }

  int saved_stdin_ = -1;
  vmtest::Machine machine_{"msgbox"};
  std::string log_;
};

struct AnswerCase {
  const char* setting;  // null: unset
  UINT type;
  int expected;
  const char* word;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << (c.setting ? c.setting : "unset") << "_type_" << c.type;
}

class AnswerTest : public MessageBoxTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, AnswersFromEnvironment) {
  if (GetParam().setting != nullptr) setenv("VELLOMAR_MSGBOX_ANSWER", GetParam().setting, 1);
  EXPECT_EQ(MessageBoxA(nullptr, "Proceed?", "Vellomar Setup", GetParam().type),
            GetParam().expected);
  const auto all = lines();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0], "{\"caption\":\"Vellomar Setup\",\"text\":\"Proceed?\",\"type\":" +
                        std::to_string(GetParam().type) + ",\"answer\":\"" + GetParam().word +
                        "\"}");
}

INSTANTIATE_TEST_SUITE_P(Settings, AnswerTest,
                         ::testing::Values(AnswerCase{"yes", MB_YESNO, IDYES, "yes"},
                                           AnswerCase{"YES", MB_YESNO | MB_ICONWARNING, IDYES,
                                                      "yes"},
                                           AnswerCase{"no", MB_YESNO, IDNO, "no"},
                                           AnswerCase{nullptr, MB_YESNO, IDNO, "no"},
                                           AnswerCase{"maybe", MB_YESNO, IDNO, "no"},
                                           AnswerCase{"no", MB_OK, IDOK, "ok"},
                                           AnswerCase{nullptr, MB_ICONHAND, IDOK, "ok"}));

TEST_F(MessageBoxTest, LogEscapesTextAsJson) {
  MessageBoxA(nullptr, "Could not copy \"Vellomar.exe\".\nC:\\Program Files\r\t\x01 \xc3\xa9 \xe9",
              "Setup Error", MB_OK);
  const auto all = lines();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0],
            "{\"caption\":\"Setup Error\",\"text\":\"Could not copy \\\"Vellomar.exe\\\".\\nC:\\\\"
            "Program Files\\r\\t\\u0001 \xc3\xa9 \\u00e9\",\"type\":0,\"answer\":\"ok\"}");
}

TEST_F(MessageBoxTest, ConcurrentBoxesGiveWholeLines) {
  const std::string long_text(3000, 'z');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&long_text] {
      for (int i = 0; i < 25; ++i) MessageBoxA(nullptr, long_text.c_str(), "Vellomar", MB_OK);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto all = lines();
  ASSERT_EQ(all.size(), 100u);
  const std::string expected =
      "{\"caption\":\"Vellomar\",\"text\":\"" + long_text + "\",\"type\":0,\"answer\":\"ok\"}";
  for (const auto& line : all) EXPECT_EQ(line, expected);
}

TEST_F(MessageBoxTest, NoLogWhenUnset) {
  unsetenv("VELLOMAR_MSGBOX_LOG");
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_YESNO), IDNO);
  EXPECT_TRUE(lines().empty());
}

}  // namespace
