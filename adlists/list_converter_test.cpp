// The converter, one table per rule form: what each list line becomes, and
// the reason the report gives when it is approximated or skipped. The
// converted lines are also checked against requests through the matcher, so
// a conversion that reads right but blocks wrong is caught too.
#include "adlists/list_converter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/ad_rule.h"
#include "filter/imported_list.h"
#include "filter/matcher.h"

namespace {

using adlists::convert_list;

std::string body_of(const adlists::ConvertedList& list) {
  return list.definitions;
}

adlists::ConvertedList convert_adblock(const std::string& line) {
  std::string error;
  auto out = convert_list("[Adblock Plus 2.0]\n" + line + "\n||filler.example^\n", &error);
  EXPECT_TRUE(out.has_value()) << error;
  return out.value_or(adlists::ConvertedList{});
}

// The lines a rule gives, without the filler rule's.
std::string lines_for(const std::string& rule) {
  std::string all = body_of(convert_adblock(rule));
  std::string filler = "Afiller.example\nA>.filler.example\n";
  std::size_t at = all.rfind(filler);
  return at == std::string::npos ? all : all.erase(at, filler.size());
}

struct Case {
  const char* rule;
  const char* lines;   // the converted lines, "" when skipped
  const char* reason;  // approximation or skip reason, "" when exact
};

class RuleForm : public ::testing::TestWithParam<Case> {};

TEST_P(RuleForm, ConvertsAsTabled) {
  const Case& c = GetParam();
  adlists::ConvertedList out = convert_adblock(c.rule);
  EXPECT_EQ(lines_for(c.rule), c.lines);
  const auto& r = out.report;
  std::string reason;
  if (!r.skipped_by_reason.empty()) reason = r.skipped_by_reason.begin()->first;
  if (!r.approximated_by_reason.empty()) reason = r.approximated_by_reason.begin()->first;
  EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
  if (*c.reason == '\0') {
    EXPECT_EQ(reason, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    HostAnchored, RuleForm,
    ::testing::Values(Case{"||ads.example.com^", "Aads.example.com\nA>.ads.example.com\n", ""},
                      Case{"||Ads.Example.com^*", "Aads.example.com\nA>.ads.example.com\n", ""},
                      Case{"||ads.", "A<ads.\nA$.ads.\n", ""},
                      Case{"||tracker.net", "A<tracker.net\nA$.tracker.net\n", ""},
                      Case{"||example.com/ads/", "U<example.com/ads/\n#Sexample.com/ads/\n", ""},
                      Case{"||example.com/ad.js|", "Uexample.com/ad.js\n", "named host only"},
                      Case{"||example.com/ad^",
                           "Uexample.com/ad\nU<example.com/ad/\nU<example.com/ad?\n"
                           "U<example.com/ad&\nU<example.com/ad=\nU<example.com/ad;\n"
                           "#Sexample.com/ad/\n#Sexample.com/ad?\n#Sexample.com/ad&\n"
                           "#Sexample.com/ad=\n#Sexample.com/ad;\n",
                           "trailing ^"},
                      Case{"||example.com:8080/", "", "scheme or port"},
                      Case{"||*.example.com^", "", "wildcard"},
                      Case{"||example.com^foo", "", "separator"}));

INSTANTIATE_TEST_SUITE_P(
    SchemeAnchored, RuleForm,
    ::testing::Values(Case{"|http://ads.example.com/x/", "U<ads.example.com/x/\n", ""},
                      Case{"|http://ads.example.com^", "U<ads.example.com/\n", ""},
                      Case{"|https://ads.example.com/x", "", "HTTPS"},
                      Case{"|ftp://x/", "", "scheme"}));

INSTANTIATE_TEST_SUITE_P(
    Substrings, RuleForm,
    ::testing::Values(Case{"/banner/ad.", "U$/banner/ad.\n", ""},
                      Case{"*/adframe/*", "U$/adframe/\n", ""}, Case{".swf|", "U>.swf\n", ""},
                      Case{"/ad-", "U$/ad-\n", ""},
                      Case{"&adtype=^",
                           "U>&adtype=\nU$&adtype=/\nU$&adtype=?\nU$&adtype=&\n"
                           "U$&adtype==\nU$&adtype=;\n",
                           "trailing ^"},
                      Case{"/ads/*/banner", "", "wildcard"},
                      Case{"/banner[0-9]+\\.gif/", "", "regular expression"},
                      Case{"http://x/", "", "scheme"}, Case{"*", "", "no pattern"},
                      Case{"/ad\xC3\xA9x", "", "ASCII"}));

INSTANTIATE_TEST_SUITE_P(
    Options, RuleForm,
    ::testing::Values(
        Case{"||ads.example^$third-party", "#3Aads.example\n#3A>.ads.example\n", ""},
        Case{"||ads.example^$3p,match-case", "#3Aads.example\n#3A>.ads.example\n", ""},
        Case{"||ads.example^$important", "Aads.example\nA>.ads.example\n", "important"},
        Case{"||ads.example^$script", "#Tscript * Aads.example\n#Tscript * A>.ads.example\n",
             "resource types"},
        Case{"||ads.example/x/$~image",
             "#Tdocument,subdocument,stylesheet,script,xmlhttprequest,font,media,object,ping,"
             "websocket,other * U<ads.example/x/\n"
             "#Tdocument,subdocument,stylesheet,script,xmlhttprequest,font,media,object,ping,"
             "websocket,other * Sads.example/x/\n",
             "resource types"},
        Case{"||ads.example^$domain=news.example",
             "#T* news.example Aads.example\n#T* news.example A>.ads.example\n", "$domain="},
        Case{"/ad.js$IMG,Third-Party,domain=A.example|~b.a.example",
             "#Timage/3p a.example|~b.a.example U$/ad.js\n", "resource types"},
        Case{"/ad.js$xmlhttprequest,ping", "", "resource types"},  // no header tells these
        Case{"/ad.js$webrtc", "", "resource types"}, Case{"/ad.js$domain=google.*", "", "$domain="},
        Case{"||ads.example^$~third-party", "", "first-party"},
        Case{"||ads.example^$popup", "", "pop-up"},
        Case{"||ads.example^$csp=script-src", "", "cannot honour: $csp"},
        Case{"/ads$/", "", "regular expression"}));

INSTANTIATE_TEST_SUITE_P(
    Exceptions, RuleForm,
    ::testing::Values(Case{"@@||ads.example^", "#@Aads.example\n#@A>.ads.example\n", ""},
                      Case{"@@/ad.js$script,domain=site.example", "#@U$/ad.js\n", "more widely"},
                      Case{"@@||ads.example^$script,domain=a.example|b.example",
                           "#@Hads.example a.example|b.example\n", "pages of some sites"},
                      Case{"@@||ads.example^$domain=a.example|~b.a.example",
                           "#@Aads.example\n#@A>.ads.example\n", "more widely"},
                      Case{"@@||site.example^$document", "", "whole page"},
                      Case{"@@||site.example^$elemhide", "", "whole page"},
                      Case{"@@||x.example^$badfilter", "", "$badfilter"}));

TEST(ListConverter, CosmeticRulesAreCountedNotConverted) {
  auto out = convert_adblock("example.com##.ad-box\n##.banner\nexample.com#@#.ad\n/x/ad.");
  EXPECT_EQ(out.report.cosmetic, 3u);
  EXPECT_EQ(out.report.exact, 2u);  // "/x/ad." and the filler
}

TEST(ListConverter, HostsFileGivesExactHosts) {
  std::string error;
  auto out = convert_list(
      "# hosts\n127.0.0.1 localhost\n::1 ip6-localhost\n0.0.0.0 Ads.Example.com  # ad\n"
      "127.0.0.1 a.example b.example\n10.1.2.3 intranet.example\n0.0.0.0 bad_host!\n",
      &error);
  ASSERT_TRUE(out.has_value()) << error;
  EXPECT_EQ(out->format, adlists::ListFormat::HOSTS);
  EXPECT_EQ(out->definitions, "Aads.example.com\nAa.example\nAb.example\n");
  EXPECT_EQ(out->report.exact, 3u);
  EXPECT_EQ(out->report.skipped, 2u);
}

TEST(ListConverter, ExpiresAndTitleAreRead) {
  std::string error;
  auto out = convert_list("[Adblock Plus 2.0]\n! Title: Test\n! Expires: 12 hours\n||a.example^\n",
                          &error);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->title, "Test");
  EXPECT_EQ(out->expires_seconds, 12 * 3600);
  EXPECT_EQ(adlists::parse_expires("4 days (update frequency)"), 4 * 24 * 3600);
  EXPECT_FALSE(adlists::parse_expires("soon").has_value());
}

class NotAList : public ::testing::TestWithParam<std::pair<std::string, const char*>> {};

TEST_P(NotAList, IsRefusedWithAReason) {
  std::string error;
  EXPECT_FALSE(convert_list(GetParam().first, &error).has_value());
  EXPECT_NE(error.find(GetParam().second), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, NotAList,
    ::testing::Values(
        std::pair<std::string, const char*>{"", "empty"},
        std::pair<std::string, const char*>{std::string("\x7f"
                                                        "ELF\0\1\2",
                                                        7),
                                            "binary"},
        std::pair<std::string, const char*>{"<!DOCTYPE html>\n<html>", "HTML"},
        std::pair<std::string, const char*>{"Dear user,\nthis is a letter.\n", "neither"},
        std::pair<std::string, const char*>{"[Adblock Plus 2.0]\n! only\n", "no rule"}));

// The converted lines block what the rule blocks and nothing the rule lets
// pass, exceptions and third-party rules included.
TEST(ListConverter, ConvertedListDecidesRequests) {
  std::string error;
  auto out = convert_list(
      "[Adblock Plus 2.0]\n||ads.example^\n@@||ads.example/ok/\n||track.example^$third-party\n"
      "/banner/ad.\n||cdn.example/ads/\n@@||cdn.example/ads/fine/\n"
      "||moat.example^\n@@||moat.example^$script,domain=sport.example\n"
      "||cdn.example/t/$third-party\n",
      &error);
  ASSERT_TRUE(out.has_value());
  auto list = parse_imported_list("t", out->definitions);
  std::vector<std::shared_ptr<const ImportedList>> lists{list};
  auto verdict = [&](const std::string& host, const std::string& path, RequestParty party,
                     std::string_view page = {}) {
    return imported_lists_verdict(lists, host.data(), host.size(), path.data(), path.size(), party,
                                  page);
  };
  const auto third = RequestParty::THIRD_PARTY;
  EXPECT_EQ(verdict("ads.example", "/x.gif", third), VERDICT_BLOCK);
  EXPECT_EQ(verdict("cdn.ads.example", " *HTTPS*", RequestParty::UNKNOWN), VERDICT_BLOCK);
  EXPECT_EQ(verdict("badads.example", "/x.gif", third), VERDICT_PASS);
  EXPECT_EQ(verdict("ads.example", "/ok/x.gif", third), VERDICT_PASS);
  EXPECT_EQ(verdict("track.example", "/p", third), VERDICT_BLOCK);
  EXPECT_EQ(verdict("track.example", " *HTTPS*", RequestParty::UNKNOWN), VERDICT_BLOCK);
  EXPECT_EQ(verdict("track.example", "/p", RequestParty::FIRST_PARTY), VERDICT_PASS);
  EXPECT_EQ(verdict("site.example", "/banner/ad.png", third), VERDICT_BLOCK);
  EXPECT_EQ(verdict("img.ads.example", "/ok/x.gif", third), VERDICT_PASS);
  EXPECT_EQ(verdict("a.b.cdn.example", "/ads/x.gif", third), VERDICT_BLOCK);
  EXPECT_EQ(verdict("a.cdn.example", "/ads/fine/x.gif", third), VERDICT_PASS);
  EXPECT_EQ(verdict("xcdn.example", "/ads/x.gif", third), VERDICT_PASS);
  EXPECT_EQ(verdict("cdn.example", "/ads/x.gif", RequestParty::FIRST_PARTY), VERDICT_BLOCK);
  EXPECT_EQ(verdict("cdn.example", "/t/x.gif", third), VERDICT_BLOCK);
  EXPECT_EQ(verdict("cdn.example", "/t/x.gif", RequestParty::FIRST_PARTY), VERDICT_PASS);
  // A host name in any letter case, with a trailing dot, is the same host.
  EXPECT_EQ(verdict("A.CDN.Example.", "/ads/x.gif", third), VERDICT_BLOCK);
  EXPECT_EQ(verdict("CDN.example.", "/ads/fine/x.gif", third), VERDICT_PASS);
  EXPECT_EQ(verdict("a.cdn.example", " *HTTPS*", RequestParty::UNKNOWN), VERDICT_PASS);
  // An exception for pages of some sites: there, and where the page is unknown.
  EXPECT_EQ(verdict("z.moat.example", "/m.js", third, "news.example"), VERDICT_BLOCK);
  EXPECT_EQ(verdict("z.moat.example", "/m.js", third, "www.sport.example"), VERDICT_PASS);
  EXPECT_EQ(verdict("z.moat.example", "/m.js", third, "WWW.Sport.Example."), VERDICT_PASS);
  EXPECT_EQ(verdict("z.moat.example", "/m.js", third, "notsport.example"), VERDICT_BLOCK);
  EXPECT_EQ(verdict("z.moat.example", " *HTTPS*", RequestParty::UNKNOWN), VERDICT_PASS);
}

// The lists decide site roots and pages too, which the user's rules never
// block; the user's rules still come first.
TEST(ListConverter, ListsDecideRootsAndPages) {
  std::string error;
  auto out = convert_list("[Adblock Plus 2.0]\n||ads.example^\n", &error);
  ASSERT_TRUE(out.has_value());
  RuleList rules;
  rules.rules.push_back(AdRule{"$user", 'A'});
  rules.imported.push_back(parse_imported_list("t", out->definitions));
  EXPECT_EQ(match_request_in(rules, "ads.example", "/"), VERDICT_BLOCK);
  EXPECT_EQ(match_request_in(rules, "ads.example", "/frame.html"), VERDICT_BLOCK);
  EXPECT_EQ(match_request_in(rules, "user.example", "/"), VERDICT_PASS);
  EXPECT_EQ(match_request_in(rules, "user.example", "/x.gif"), VERDICT_BLOCK);
  EXPECT_EQ(match_request_in(rules, "news.example", "/x.gif"), VERDICT_PASS);
}

// Rules limited to resource types or to pages apply only where the request's
// headers show such a type and such a page; a request whose headers do not
// tell (no Accept, a tunnel) is never blocked by them.
struct HeadersCase {
  std::string rule;
  std::string headers;  // header lines of a request for t.example/ad.gif
  bool blocked;
};

class ConditionalRule : public ::testing::TestWithParam<HeadersCase> {};

TEST_P(ConditionalRule, AppliesOnlyWhereTheHeadersShowIt) {
  const HeadersCase& c = GetParam();
  std::string error;
  auto out = convert_list("[Adblock Plus 2.0]\n" + c.rule + "\n", &error);
  ASSERT_TRUE(out.has_value()) << error;
  RuleList rules;
  rules.imported.push_back(parse_imported_list("t", out->definitions));
  const std::string head =
      "GET http://t.example/ad.gif HTTP/1.1\r\nHost: t.example\r\n" + c.headers + "\r\n";
  const RequestTraits traits = traits_from_headers(head, "t.example");
  EXPECT_EQ(match_request_in(rules, "t.example", "/ad.gif", traits) == VERDICT_BLOCK, c.blocked)
      << c.rule << " with " << c.headers;
}

const std::string IMAGE = "Accept: image/avif,image/webp,*/*\r\n";
const std::string PAGE = "Accept: text/html,application/xhtml+xml,*/*;q=0.8\r\n";
const std::string STAR = "Accept: */*\r\n";
const std::string NEWS = "Referer: http://www.news.example/a\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ConditionalRule,
    ::testing::Values(
        HeadersCase{"/ad.$image", IMAGE, true}, HeadersCase{"/ad.$image", PAGE, false},
        HeadersCase{"/ad.$image", STAR, false}, HeadersCase{"/ad.$image", "", false},
        HeadersCase{"/ad.$image", STAR + "Sec-Fetch-Dest: image\r\n", true},
        // fetch() may claim any Accept; Sec-Fetch-Dest, where sent, decides.
        HeadersCase{"/ad.$image", IMAGE + "Sec-Fetch-Dest: empty\r\n", false},
        HeadersCase{"/ad.$script", STAR, false},  // a script or an XHR
        HeadersCase{"/ad.$script", "Sec-Fetch-Dest: script\r\n", true},
        HeadersCase{"/ad.$~image", STAR, true}, HeadersCase{"/ad.$~image", IMAGE, false},
        HeadersCase{"/ad.$stylesheet,script", "accept:  text/css,*/*;q=0.1 \r\n", true},
        HeadersCase{"/ad.$subdocument", PAGE, false},  // a page or a frame
        HeadersCase{"/ad.$image,domain=~news.example", IMAGE + NEWS, false},
        HeadersCase{"/ad.$image,domain=~news.example", IMAGE + "Referer: http://blog.example/\r\n",
                    true},
        HeadersCase{"/ad.$image,domain=~news.example",
                    IMAGE + "Referer: http://WWW.News.Example./\r\n", false},
        HeadersCase{"/ad.$image,domain=~news.example", IMAGE, false},  // page not shown
        HeadersCase{"/ad.$domain=news.example", NEWS + STAR, true},
        HeadersCase{"/ad.$domain=news.example", NEWS + PAGE, false},  // its own page, or a frame's
        HeadersCase{"/ad.$domain=news.example", NEWS, false},
        HeadersCase{"/ad.$image,3p", "Referer: http://www.t.example/\r\n" + IMAGE, false},
        HeadersCase{"/ad.$image,3p", NEWS + IMAGE, true}));

TEST(ThirdParty, JudgedByRegistrableDomain) {
  EXPECT_FALSE(is_third_party("img.news.example", "www.news.example"));
  EXPECT_FALSE(is_third_party("a.bbc.co.uk", "www.bbc.co.uk"));
  EXPECT_TRUE(is_third_party("ads.example", "news.example"));
  EXPECT_TRUE(is_third_party("a.foo.co.uk", "a.bar.co.uk"));
  EXPECT_FALSE(is_third_party("localhost", "localhost"));
  const std::string head = "GET /x HTTP/1.1\r\nHost: ads.example\r\n";
  EXPECT_EQ(
      traits_from_headers(head + "REFERER: http://u@www.news.example:81/p\r\n\r\n", "ads.example")
          .party,
      RequestParty::THIRD_PARTY);
  EXPECT_EQ(
      traits_from_headers(head + "Referer: https://ads.example/\r\n\r\n", "ads.example").party,
      RequestParty::FIRST_PARTY);
  EXPECT_EQ(
      traits_from_headers(head + "\r\nReferer: http://news.example/\r\n", "ads.example").party,
      RequestParty::FIRST_PARTY);
  EXPECT_EQ(traits_from_headers(head + "Referer: http://u@www.news.example:81/p\r\n\r\n", "a").page,
            "www.news.example");
  EXPECT_EQ(traits_from_headers(head + "\r\n", "ads.example").page, "ads.example");
  EXPECT_EQ(traits_from_headers(head + "Referer: about:blank\r\n\r\n", "ads.example").page, "");
}

}  // namespace
