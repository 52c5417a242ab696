// Verdicts of the matcher for rule files and requests, through the list's
// index and through the plain walk alike.
#include "filter/matcher.h"

#include <gtest/gtest.h>

#include "filter/definitions_parser.h"
#include "filter/rule_list.h"

namespace {

struct MatchCase {
  const char* name;
  const char* file;  // definitions file text
  const char* host;
  const char* path;
  int blocking;  // value of blocking_off during the call
  Verdict verdict;
};

std::ostream& operator<<(std::ostream& out, const MatchCase& c) {
  return out << c.name;
}

constexpr const char* BUILTIN_PATH = "/computing/download/smartdownload/ib/index.html";
constexpr const char* BUILTIN_HOST = "home.netscape.com";

const MatchCase kCases[] = {
    // The reload host comes first, blocking on or off; only its exact name.
    {"reload_host", "", "vellomar.reload", "/", 0, VERDICT_RELOAD},
    {"reload_host_blocking_off", "", "vellomar.reload", "/x.gif", 1, VERDICT_RELOAD},
    {"reload_host_in_capitals_is_filtered", "A$", "VELLOMAR.RELOAD", "/x.gif", 0, VERDICT_BLOCK},
    // Blocking off passes everything else.
    {"blocking_off_passes_rule", "Aads.example.com", "ads.example.com", "/b.gif", 1, VERDICT_PASS},
    {"blocking_off_passes_builtin_page", "", BUILTIN_HOST, BUILTIN_PATH, 1, VERDICT_PASS},
    // The built-in page, exactly; before the page exemption.
    {"builtin_page", "", BUILTIN_HOST, BUILTIN_PATH, 0, VERDICT_CLOSE_WINDOW},
    {"builtin_page_other_case", "", "Home.netscape.com", BUILTIN_PATH, 0, VERDICT_PASS},
    {"builtin_page_with_query", "", BUILTIN_HOST,
     "/computing/download/smartdownload/ib/index.html?a", 0, VERDICT_PASS},
    {"builtin_page_other_split", "", "home.netscape.com/computing",
     "/download/smartdownload/ib/index.html", 0, VERDICT_CLOSE_WINDOW},
    // Whole texts, prefixes and substrings on the host.
    {"host_exact", "Aads.example.com", "ads.example.com", "/b.gif", 0, VERDICT_BLOCK},
    {"host_exact_not_subdomain", "Aads.example.com", "img.ads.example.com", "/b.gif", 0,
     VERDICT_PASS},
    {"host_exact_trailing_blank_kept", "Aads.example.com ", "ads.example.com", "/b.gif", 0,
     VERDICT_PASS},
    {"host_prefix", "A<ads.", "ads.example.org", "/b.gif", 0, VERDICT_BLOCK},
    {"host_prefix_not_inside", "A<ads.", "img.ads.example.com", "/b.gif", 0, VERDICT_PASS},
    {"host_substring", "A$ads", "loads.example.com", "/b.gif", 0, VERDICT_BLOCK},
    {"host_substring_none", "A$ads", "www.example.com", "/b.gif", 0, VERDICT_PASS},
    {"host_substring_case_sensitive", "A$ADS", "ads.example.com", "/b.gif", 0, VERDICT_PASS},
    {"host_suffix", "A>.example.com", "ads.example.com", "/b.gif", 0, VERDICT_BLOCK},
    {"suffix_longer_than_target", "A>www.ads.example.com", "ads.example.com", "/b.gif", 0,
     VERDICT_PASS},
    {"operator_inside_text_is_literal", "Aads$", "ads$", "/b.gif", 0, VERDICT_BLOCK},
    {"operator_inside_text_no_wildcard", "Aads$", "adsx", "/b.gif", 0, VERDICT_PASS},
    // Operators alone match every target of their kind; an empty text only
    // an empty target.
    {"substring_empty", "A$", "www.example.com", "/b.gif", 0, VERDICT_BLOCK},
    {"prefix_empty", "F<", "x", "/b.gif", 0, VERDICT_BLOCK},
    {"suffix_empty", "U>", "x", "/b.gif", 0, VERDICT_BLOCK},
    {"empty_text_other_host", "A", "x", "/b.gif", 0, VERDICT_PASS},
    {"empty_text_empty_host", "A", "", "/b.gif", 0, VERDICT_BLOCK},
    // Short paths and page extensions pass before any rule.
    {"root_path", "A$", "ads.example.com", "/", 0, VERDICT_PASS},
    {"two_char_path", "A$", "ads.example.com", "/a", 0, VERDICT_PASS},
    {"three_char_path", "A$", "ads.example.com", "/ab", 0, VERDICT_BLOCK},
    {"html_page", "A$", "ads.example.com", "/banner.html", 0, VERDICT_PASS},
    {"htm_page_capitals", "A$", "ads.example.com", "/banner.HTM", 0, VERDICT_PASS},
    {"html_mixed_case", "A$", "ads.example.com", "/banner.HtMl", 0, VERDICT_PASS},
    {"asp_page", "A$", "ads.example.com", "/page.asp", 0, VERDICT_PASS},
    {"asp_page_capitals", "A$", "ads.example.com", "/page.ASP", 0, VERDICT_PASS},
    {"xhtml_ends_in_html", "A$", "ads.example.com", "/page.xhtml", 0, VERDICT_PASS},
    {"three_char_path_htm", "A$", "ads.example.com", "htm", 0, VERDICT_PASS},
    {"asp_with_query", "A$", "ads.example.com", "/page.asp?id=1", 0, VERDICT_BLOCK},
    {"html_with_query", "A$", "ads.example.com", "/banner.html?x=1", 0, VERDICT_BLOCK},
    {"gif_blocked", "Aads.example.com", "ads.example.com", "/banner.gif", 0, VERDICT_BLOCK},
    // Paths.
    {"path_suffix", "F>.gif", "any.example.org", "/img/top.gif", 0, VERDICT_BLOCK},
    {"path_suffix_case_sensitive", "F>.gif", "any.example.org", "/img/top.GIF", 0, VERDICT_PASS},
    {"path_suffix_longer_than_path", "F>/very/long/name.gif", "h", "/a.gif", 0, VERDICT_PASS},
    {"path_prefix", "F</ads/", "h", "/ads/x.js", 0, VERDICT_BLOCK},
    {"path_is_not_host", "Fads.example.com", "ads.example.com", "/x.js", 0, VERDICT_PASS},
    // Addresses: host immediately followed by path.
    {"address_prefix", "U<ads.example.com/banners/", "ads.example.com", "/banners/a.gif", 0,
     VERDICT_BLOCK},
    {"address_prefix_other_host", "U<ads.example.com/banners/", "cdn.example.com", "/banners/a.gif",
     0, VERDICT_PASS},
    {"address_prefix_other_path", "U<ads.example.com/banners/", "ads.example.com", "/other/a.gif",
     0, VERDICT_PASS},
    {"address_substring_across_joint", "U$com/ban", "ads.example.com", "/banner.gif", 0,
     VERDICT_BLOCK},
    {"address_suffix_across_joint", "U>.com/banner.gif", "ads.example.com", "/banner.gif", 0,
     VERDICT_BLOCK},
    {"address_exact", "Uads.example.com/banner.gif", "ads.example.com", "/banner.gif", 0,
     VERDICT_BLOCK},
    {"address_exact_other_split", "Uads.example.com/banner.gif", "ads.example.com/banner", ".gif",
     0, VERDICT_BLOCK},
    // N as a kind behaves as U; N as the text's first character closes the
    // window, for whole texts only.
    {"n_kind_blocks", "Nads.example.com/pop.gif", "ads.example.com", "/pop.gif", 0, VERDICT_BLOCK},
    {"n_text_in_u_rule", "UNEWS.EXAMPLE.COM/pop.gif", "NEWS.EXAMPLE.COM", "/pop.gif", 0,
     VERDICT_CLOSE_WINDOW},
    {"n_text_in_n_rule", "NNEWS.EXAMPLE.COM/pop.gif", "NEWS.EXAMPLE.COM", "/pop.gif", 0,
     VERDICT_CLOSE_WINDOW},
    {"n_text_lower_case_host", "UNEWS.EXAMPLE.COM/pop.gif", "news.example.com", "/pop.gif", 0,
     VERDICT_PASS},
    {"n_text_in_a_rule", "ANEWS.EXAMPLE.COM", "NEWS.EXAMPLE.COM", "/pop.gif", 0,
     VERDICT_CLOSE_WINDOW},
    {"n_after_operator_blocks", "A$NEWS", "NEWS.EXAMPLE.COM", "/pop.gif", 0, VERDICT_BLOCK},
    // Tunnels and proxied requests carry the marker as their path.
    {"https_marker_host_rule", "Aads.example.com", "ads.example.com", " *HTTPS*", 0, VERDICT_BLOCK},
    {"https_marker_path_rule", "F *HTTPS*", "x.example.com", " *HTTPS*", 0, VERDICT_BLOCK},
    {"https_marker_address_rule", "Uads.example.com *HTTPS*", "ads.example.com", " *HTTPS*", 0,
     VERDICT_BLOCK},
    {"https_marker_passes_without_rule", "F>.gif", "ads.example.com", " *HTTPS*", 0, VERDICT_PASS},
    // The first matching rule in list order (the last in the file) decides.
    {"later_close_beats_earlier_block", "A$ads\nUNads.example.com/x.gif", "Nads.example.com",
     "/x.gif", 0, VERDICT_CLOSE_WINDOW},
    {"later_block_beats_earlier_close", "UNads.example.com/x.gif\nA$ads", "Nads.example.com",
     "/x.gif", 0, VERDICT_BLOCK},
    {"close_rule_not_matching_skipped", "A$ads\nANother", "Nads.example.com", "/x.gif", 0,
     VERDICT_BLOCK},
    // Pop-up rules never block; no rules pass.
    {"popup_rules_skipped", "L$ads\nO<ads\nL\nO$", "ads.example.com", "/x.gif", 0, VERDICT_PASS},
    {"empty_list", "", "ads.example.com", "/x.gif", 0, VERDICT_PASS},
};

class MatcherTest : public ::testing::TestWithParam<MatchCase> {
 protected:
  void TearDown() override { blocking_off = 0; }
};

TEST_P(MatcherTest, GivesVerdict) {
  const MatchCase& c = GetParam();
  std::shared_ptr<RuleList> indexed = parse_ad_definitions(c.file, nullptr);
  RuleList plain;
  plain.rules = indexed->rules;
  blocking_off = c.blocking;
  EXPECT_EQ(match_request_in(*indexed, c.host, c.path), c.verdict) << "indexed";
  EXPECT_EQ(match_request_in(plain, c.host, c.path), c.verdict) << "walked";
}

INSTANTIATE_TEST_SUITE_P(Cases, MatcherTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A path longer than any buffer the request could have come in is still
// handled whole.
TEST(MatcherLongInput, PathBeyondAPiece) {
  std::string path = "/" + std::string(70000, 'a') + ".gif";
  std::shared_ptr<RuleList> list = parse_ad_definitions("U>aaaa.gif\n", nullptr);
  EXPECT_EQ(match_request_in(*list, "h", path.c_str()), VERDICT_BLOCK);
  list = parse_ad_definitions("U$h/aaa\n", nullptr);
  EXPECT_EQ(match_request_in(*list, "h", path.c_str()), VERDICT_BLOCK);
  list = parse_ad_definitions("U$ha\n", nullptr);
  EXPECT_EQ(match_request_in(*list, "h", path.c_str()), VERDICT_PASS);
}

}  // namespace
