// Cutting and classifying the lines of a definitions file.
#include "filter/definitions_parser.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// Every reported line as one string, in the order reported:
// "A:text" for rules, "P:host:port", "bad:line".
class RecordingSink : public DefinitionSink {
 public:
  void rule(char kind, std::string_view text) override {
    events.push_back(std::string(1, kind) + ":" + std::string(text));
  }
  void proxy_line(const ProxyLine& line) override {
    events.push_back("P:" + line.host + ":" + std::to_string(line.port));
  }
  void bad_line(std::string_view line) override { events.push_back("bad:" + std::string(line)); }
  std::vector<std::string> events;
};

struct ScanCase {
  const char* name;
  std::string file;
  std::vector<std::string> events;
};

std::ostream& operator<<(std::ostream& out, const ScanCase& c) {
  return out << c.name;
}

const std::string k252(252, 'a');
const std::string k46(46, 'b');

const ScanCase kScanCases[] = {
    {"three_lines", "Aads.example.com\nF$banner\n# comment\n", {"A:ads.example.com", "F:$banner"}},
    {"every_rule_kind", "Aa\nFf\nUu\nNn\nLl\nOo\n", {"A:a", "F:f", "U:u", "N:n", "L:l", "O:o"}},
    {"indented_rule_is_comment", " Aads.example.com\n", {}},
    {"blank_lines_are_comments", "\n\n\n#\n", {}},
    {"lower_case_kind_is_bad", "aads.example.com\n", {"bad:aads.example.com"}},
    {"tab_digit_and_other_letters_are_bad", "\tAx\n1\nBx\n", {"bad:\tAx", "bad:1", "bad:Bx"}},
    {"kind_letter_alone", "A\n", {"A:"}},
    {"blanks_belong_to_text", "A ads \n", {"A: ads "}},
    {"last_line_without_line_feed", "Aone\nAtwo", {"A:one", "A:two"}},
    {"lone_cr_inside_line_kept", "Aa\rb\n", {"A:a\rb"}},
    // CR CR LF files read in text mode as lines ending in CR.
    {"cr_before_line_end_dropped",
     "Aads.example.com\r\nF$banner\r\n",
     {"A:ads.example.com", "F:$banner"}},
    {"only_one_cr_dropped", "Ax\r\r\n", {"A:x\r"}},
    {"cr_at_end_of_file_dropped", "Ax\r", {"A:x"}},
    {"cr_blank_line_is_comment", "\r\n\r\nAx\r\n", {"A:x"}},
    {"cr_dropped_from_bad_and_p_lines",
     "bad\r\nPproxy.example.net\r\n",
     {"bad:bad", "P:proxy.example.net:8000"}},
    // Long lines come in pieces of 253; each piece is a line of its own.
    {"line_of_300_split_at_253", "A" + k252 + "F" + k46 + "\n", {"A:" + k252, "F:" + k46}},
    {"rest_of_long_line_is_bad", "A" + k252 + "z" + k46 + "\n", {"A:" + k252, "bad:z" + k46}},
    {"rest_of_long_line_is_comment", "A" + k252 + " " + k46 + "\n", {"A:" + k252}},
    {"line_of_exactly_253", "A" + k252 + "\nAnext\n", {"A:" + k252, "A:next"}},
    {"cr_after_253_dropped", "A" + k252 + "\r\n", {"A:" + k252}},
    {"zero_byte_ends_text", std::string("Aab\0cd\nAe\n", 10), {"A:ab", "A:e"}},
    // Proxy lines: host up to the first colon, port by the leading digits.
    {"proxy_with_port", "Pproxy.example.net:3128\n", {"P:proxy.example.net:3128"}},
    {"proxy_without_colon", "Pproxy.example.net\n", {"P:proxy.example.net:8000"}},
    {"proxy_colon_nothing", "Pproxy.example.net:\n", {"P:proxy.example.net:0"}},
    {"proxy_colon_letters", "Pproxy.example.net:abc\n", {"P:proxy.example.net:0"}},
    {"proxy_port_leading_blanks_and_junk", "Ph: 3128x:1\n", {"P:h:3128"}},
    {"proxy_port_sign", "Ph:-5\n", {"P:h:-5"}},
    {"proxy_port_saturates", "Ph:99999999999999\n", {"P:h:" + std::to_string(INT_MAX)}},
    {"proxy_alone", "P\n", {"P::8000"}},
    {"lines_in_file_order",
     "Aone\nbad\nPfirst:1\nFtwo\nPsecond:2\n",
     {"A:one", "bad:bad", "P:first:1", "F:two", "P:second:2"}},
};

class ScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, ReportsLines) {
  RecordingSink sink;
  scan_ad_definitions(GetParam().file, sink);
  EXPECT_EQ(sink.events, GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScanTest, ::testing::ValuesIn(kScanCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseAdDefinitions, ListHoldsLastRuleFirst) {
  std::vector<ProxyLine> proxies;
  std::vector<std::string> bad;
  auto list =
      parse_ad_definitions("Aads.example.com\nF$banner\n#x\nPp:1\nwrong\nPq\n", &proxies, &bad);
  ASSERT_EQ(list->rules.size(), 2u);
  EXPECT_EQ(list->rules[0].kind, 'F');
  EXPECT_EQ(list->rules[0].text, "$banner");
  EXPECT_EQ(list->rules[1].kind, 'A');
  EXPECT_EQ(list->rules[1].text, "ads.example.com");
  ASSERT_EQ(proxies.size(), 2u);
  EXPECT_EQ(proxies[0].host, "p");
  EXPECT_EQ(proxies[0].port, 1);
  EXPECT_EQ(proxies[1].host, "q");
  EXPECT_EQ(proxies[1].port, 8000);
  EXPECT_EQ(bad, std::vector<std::string>{"wrong"});
}

TEST(RulesInListOrder, NewRulesGoInFront) {
  std::vector<AdRule> base = {{"old1", 'A'}, {"old2", 'F'}};
  std::vector<AdRule> file = {{"new1", 'U'}, {"new2", 'L'}};
  std::vector<AdRule> list = rules_in_list_order(std::move(file), base);
  std::vector<std::string> texts;
  for (const AdRule& rule : list) texts.push_back(rule.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"new2", "new1", "old1", "old2"}));
}

}  // namespace
