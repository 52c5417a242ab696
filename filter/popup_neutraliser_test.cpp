// Overwriting pop-up script in reply pieces.
#include "filter/popup_neutraliser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "filter/definitions_parser.h"
#include "filter/matcher.h"
#include "filter/rule_list.h"
#include "text/text_helpers.h"

namespace {

struct PopupCase {
  const char* name;
  const char* file;
  const char* host;
  const char* piece;
  const char* result;
  int count;
};

std::ostream& operator<<(std::ostream& out, const PopupCase& c) {
  return out << c.name;
}

const PopupCase kCases[] = {
    {"onunload_in_body_tag", "L$example.com", "pop.example.com", "<BODY ONUNLOAD=\"open_ad()\">",
     "<BODY //UNLOAD=\"open_ad()\">", 1},
    {"window_open_any_host", "O<", "www.example.org", "x=Window.Open('ad');",
     "x=//ndow.Open('ad');", 1},
    {"three_occurrences", "O<", "h", "window.open;WINDOW.OPEN;window.OPEN",
     "//ndow.open;//NDOW.OPEN;//ndow.OPEN", 3},
    {"adjacent_occurrences", "O<", "h", "window.openwindow.open", "//ndow.open//ndow.open", 2},
    {"both_kinds", "L<\nO>.com", "a.com", "onunload window.open", "//unload //ndow.open", 2},
    {"kind_decides_pattern", "L<", "h", "onunload window.open", "//unload window.open", 1},
    {"two_rules_same_kind", "O<\nO$h", "h", "window.open", "//ndow.open", 1},
    {"exact_host_only", "Lads.example.com", "img.ads.example.com", "onunload", "onunload", 0},
    {"exact_host", "Lads.example.com", "ads.example.com", "onunload", "//unload", 1},
    {"host_suffix_longer_than_host", "L>www.ads.example.com", "ads.example.com", "onunload",
     "onunload", 0},
    {"n_has_no_meaning", "ONews", "News", "window.open", "//ndow.open", 1},
    {"host_test_case_sensitive", "O$EXAMPLE", "example.com", "window.open", "window.open", 0},
    {"partial_occurrence_at_end", "O<", "h", "call window.ope", "call window.ope", 0},
    {"request_kinds_never_touch_replies", "A$\nF$\nU$\nN$", "h", "onunload window.open",
     "onunload window.open", 0},
    {"empty_list", "", "h", "onunload window.open", "onunload window.open", 0},
};

class PopupTest : public ::testing::TestWithParam<PopupCase> {};

TEST_P(PopupTest, Neutralises) {
  const PopupCase& c = GetParam();
  std::shared_ptr<RuleList> indexed = parse_ad_definitions(c.file, nullptr);
  RuleList plain;
  plain.rules = indexed->rules;
  for (const RuleList* list :
       {static_cast<const RuleList*>(indexed.get()), static_cast<const RuleList*>(&plain)}) {
    std::string piece(c.piece);
    EXPECT_EQ(neutralise_popups_quietly(*list, piece.data(), c.host), c.count);
    EXPECT_EQ(piece, c.result);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PopupTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PopupPiece, BytesAfterFirstZeroUntouched) {
  auto list = parse_ad_definitions("O<\n", nullptr);
  char piece[] = "window.open\0window.open";
  EXPECT_EQ(neutralise_popups_quietly(*list, piece, "h"), 1);
  EXPECT_EQ(std::string(piece, sizeof piece), std::string("//ndow.open\0window.open", 24));
}

TEST(PopupPiece, BlockingOffLeavesPieceAlone) {
  auto list = parse_ad_definitions("O<\nL<\n", nullptr);
  std::string piece = "onunload window.open";
  blocking_off = 1;
  EXPECT_EQ(neutralise_popups_quietly(*list, piece.data(), "h"), 0);
  blocking_off = 0;
  EXPECT_EQ(piece, "onunload window.open");
}

TEST(PopupPiece, FullSizePiece) {
  auto list = parse_ad_definitions("O<\n", nullptr);
  std::string piece(REPLY_PIECE_SIZE - 1, 'x');
  piece.replace(piece.size() - 11, 11, "WINDOW.OPEN");
  EXPECT_EQ(neutralise_popups_quietly(*list, piece.data(), "h"), 1);
  EXPECT_EQ(piece.substr(piece.size() - 11), "//NDOW.OPEN");
  EXPECT_EQ(piece.size(), REPLY_PIECE_SIZE - 1);
}

TEST(FindNocase, FindsFirstOccurrenceInAnyCase) {
  char text[] = "abc WiNdOw.OpEn window.open";
  EXPECT_EQ(find_nocase(text, "window.open"), text + 4);
  char none[] = "window.ope";
  EXPECT_EQ(find_nocase(none, "window.open"), nullptr);
  char cut[] = "windo\0w.open";
  EXPECT_EQ(find_nocase(cut, "window.open"), nullptr);
  char letters_only[] = "[x";  // '[' is not a capital letter
  EXPECT_EQ(find_nocase(letters_only, "{x"), nullptr);
}

// A lower-cased copy of `text`, up to its first zero byte.
std::string lowered(const std::string& text) {
  std::string copy = text.c_str();
  for (char& c : copy) c = fold_case(c);
  return copy;
}

// The plain way: lower-case a copy, search it, overwrite, and start again
// from the beginning until nothing is found.
int neutralise_by_copying(std::string& piece, const char* pattern) {
  int count = 0;
  for (;;) {
    const std::string copy = lowered(piece);
    const char* hit = std::strstr(copy.c_str(), pattern);
    if (hit == nullptr) return count;
    piece[hit - copy.c_str()] = '/';
    piece[hit - copy.c_str() + 1] = '/';
    ++count;
  }
}

// Random pieces full of near misses: bytes that pass a screen on the 0x20
// bit without being letters, patterns cut short, occurrences at every offset
// and at the very end.
TEST(NeutraliseDifferential, AgreesWithCopyingAndSearchingAgain) {
  std::mt19937 random(7);
  const char* const kBits[] = {"window.open", "WINDOW.OPEN", "wINdow.oPEn", "window.ope",
                               "onunload",    "ONUNLOAD",    "onunloa",     "window[open",
                               "w",           "W",           "@",           "`",
                               "[",           "{",           "n",           "\xC4"};
  auto rules = parse_ad_definitions("L<\nO<\n", nullptr);
  for (int round = 0; round < 3000; ++round) {
    std::string piece;
    std::size_t bits = random() % 40;
    for (std::size_t i = 0; i < bits; ++i) piece += kBits[random() % std::size(kBits)];
    std::string expected = piece;
    int expected_count = neutralise_by_copying(expected, "onunload") +
                         neutralise_by_copying(expected, "window.open");
    std::string got = piece;
    ASSERT_EQ(neutralise_popups_quietly(*rules, got.data(), "h"), expected_count) << piece;
    ASSERT_EQ(got, expected) << piece;
    // find_nocase against the same lower-cased copy.
    const std::string copy = lowered(piece);
    for (const char* pattern : {"window.open", "onunload", "{", "w", "[{", "@w", "w@"}) {
      const char* hit = std::strstr(copy.c_str(), pattern);
      char* found = find_nocase(piece.data(), pattern);
      ASSERT_EQ(found == nullptr ? -1 : found - piece.data(),
                hit == nullptr ? -1 : hit - copy.c_str())
          << pattern << " in " << piece;
    }
  }
}

}  // namespace
