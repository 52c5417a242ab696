// The shared text rules: each case is one a caller on some floor relies on.
#include "text/text_helpers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace {

struct NumberCase {
  const char* text;
  int expected;
};

void PrintTo(const NumberCase& c, std::ostream* os) {
  std::string name;
  for (const char* p = c.text; *p != '\0'; ++p) name += std::isalnum(*p) ? *p : '_';
  *os << (name.empty() ? "empty" : name);
}

class LeadingNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(LeadingNumberTest, TakesLeadingDigitsAndSaturates) {
  EXPECT_EQ(leading_number(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LeadingNumberTest,
    ::testing::Values(NumberCase{"", 0}, NumberCase{"1", 1}, NumberCase{"1 ", 1},
                      NumberCase{"01", 1}, NumberCase{"  42abc", 42}, NumberCase{"\t\n-7", -7},
                      NumberCase{"+3", 3}, NumberCase{"-", 0}, NumberCase{"x1", 0},
                      NumberCase{"- 1", 0}, NumberCase{"0x10", 0}, NumberCase{"8000", 8000},
                      NumberCase{"2147483647", INT_MAX}, NumberCase{"2147483648", INT_MAX},
                      NumberCase{"99999999999999999999999", INT_MAX},
                      NumberCase{"-2147483648", INT_MIN},
                      NumberCase{"-99999999999999999999999", INT_MIN}));

TEST(LeadingNumber, StopsAtTheEndOfTheViewNotAtAZero) {
  EXPECT_EQ(leading_number(std::string_view("123", 2)), 12);
  EXPECT_EQ(leading_number(std::string_view("7\0"
                                            "9",
                                            3)),
            7);
}

TEST(HexDigit, ReadsBothCasesAndRefusesTheRest) {
  const std::string digits = "0123456789abcdefABCDEF";
  for (char c : digits) {
    EXPECT_EQ(hex_digit(c), std::stoi(std::string(1, c), nullptr, 16)) << c;
  }
  for (char c : std::string("gG/:@`\0 -x")) EXPECT_EQ(hex_digit(c), -1) << c;
}

struct CaseCase {
  std::string_view a;
  std::string_view b;
  bool equal;
  bool a_starts_with_b;
};

class IgnoringCaseTest : public testing::TestWithParam<CaseCase> {};

TEST_P(IgnoringCaseTest, FoldsOnlyAsciiLetters) {
  const CaseCase& c = GetParam();
  EXPECT_EQ(equal_ignoring_case(c.a, c.b), c.equal);
  EXPECT_EQ(starts_with_ignoring_case(c.a, c.b), c.a_starts_with_b);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IgnoringCaseTest,
    testing::Values(CaseCase{"Host", "hOST", true, true}, CaseCase{"", "", true, true},
                    CaseCase{"Hosts", "host", false, true}, CaseCase{"Ho", "host", false, false},
                    // Folding by setting bit 5 would take "@" to "`" and "[" to "{".
                    CaseCase{"@", "`", false, false}, CaseCase{"[", "{", false, false},
                    CaseCase{"\xC4", "\xE4", false, false}));

TEST(EndsWithIgnoringCase, FoldsTheTextOnly) {
  EXPECT_TRUE(ends_with_ignoring_case("/INDEX.HTML", "html"));
  EXPECT_TRUE(ends_with_ignoring_case("htm", "htm"));
  EXPECT_FALSE(ends_with_ignoring_case("tm", "htm"));
  EXPECT_FALSE(ends_with_ignoring_case("/a.html?x", "html"));
}

TEST(TrimLine, CutsBlanksAtBothEndsAndCarriageReturnsAtTheEnd) {
  EXPECT_EQ(trim_line(" \tkey = value \r"), "key = value");
  EXPECT_EQ(trim_line("\rkey\r \r"), "\rkey");
  EXPECT_EQ(trim_line(" \t\r"), "");
}

TEST(TextLines, KeepsEachLinesBreakApartFromItsBody) {
  const std::string_view text = "a\r\n\nb \r\nlast";
  const std::vector<TextLine> lines = text_lines(text);
  ASSERT_EQ(lines.size(), 4u);
  const std::pair<std::string_view, std::string_view> expected[] = {
      {"a\r\n", "a"}, {"\n", ""}, {"b \r\n", "b "}, {"last", "last"}};
  std::size_t at = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].whole, expected[i].first);
    EXPECT_EQ(lines[i].body, expected[i].second);
    EXPECT_EQ(lines[i].whole.data(), text.data() + at);  // views into the text, in order
    at += lines[i].whole.size();
  }
  EXPECT_TRUE(text_lines("").empty());
}

TEST(EscapeHtml, EscapesMarkupAndStopsAtAZero) {
  EXPECT_EQ(escape_html("a&b<c>\"d\"", true), "a&amp;b&lt;c&gt;&quot;d&quot;");
  EXPECT_EQ(escape_html("a&b<c>\"d\"", false), "a&amp;b&lt;c&gt;\"d\"");
  EXPECT_EQ(escape_html(std::string_view("x<\0<y", 5), true), "x&lt;");
  EXPECT_EQ(escape_html("", true), "");
}

}  // namespace
