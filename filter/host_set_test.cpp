// The host set: which hosts an entry covers, and agreement with the rule
// language's own tests for the same rules over random names.
#include "filter/host_set.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "filter/matcher.h"
#include "filter/split_text.h"

namespace {

struct HostCase {
  const char* host;
  bool blocked;
};

class HostSetTest : public testing::TestWithParam<HostCase> {
 protected:
  static HostSet set() {
    HostSet hosts;
    hosts.add("ads.example.com", HostSet::EXACT | HostSet::SUBDOMAINS);  // ||ads.example.com^
    hosts.add("tracker.example.net", HostSet::EXACT);                    // hosts file
    hosts.add("cdn.example.org", HostSet::SUBDOMAINS);                   // subdomains only
    hosts.add("192.0.2.7", HostSet::EXACT | HostSet::SUBDOMAINS);
    hosts.add("2.7", HostSet::SUBDOMAINS);
    hosts.add("Mixed.Example", HostSet::EXACT);
    return hosts;
  }
};

TEST_P(HostSetTest, Covers) {
  static const HostSet hosts = set();
  EXPECT_EQ(hosts.matches(GetParam().host), GetParam().blocked) << GetParam().host;
}

const HostCase kHostCases[] = {
    {"ads.example.com", true},         // exact
    {"a.b.ads.example.com", true},     // subdomains at any depth
    {"bads.example.com", false},       // not a suffix at a label's start
    {"ads.example.com.evil", false},   // a parent is not covered
    {"example.com", false},            //
    {"ADS.Example.COM", true},         // letter case
    {"ads.example.com.", true},        // one trailing dot: the same host
    {"ads.example.com..", false},      //
    {"tracker.example.net", true},     // exact only
    {"x.tracker.example.net", false},  //
    {"cdn.example.org", false},        // subdomains only
    {"img.cdn.example.org", true},     //
    {"mixed.example", true},           // stored folded
    {"192.0.2.7", true},               // an address: its exact entry
    {"10.192.0.2.7", false},           // not a valid address, and no such name
    {"10.0.2.7", false},               // an address is no subdomain of "2.7"
    {"[::1]", false},                  //
    {"", false},                       //
    {".", false},                      //
    {".ads.example.com", true},        // ends in "." + a covered name
};
INSTANTIATE_TEST_SUITE_P(Cases, HostSetTest, testing::ValuesIn(kHostCases));

// "A" + name and "A>." + name in the rule language against the set, over
// names from a small alphabet so that labels repeat and nest.
TEST(HostSetDifferential, AgreesWithTheRuleTexts) {
  std::mt19937 random(11);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  auto name = [&] {
    std::string s;
    std::size_t labels = 1 + pick(3);
    for (std::size_t l = 0; l < labels; ++l) {
      if (l > 0) s += '.';
      s += "ab-"[pick(2)];
      if (pick(2)) s += "ab"[pick(2)];
    }
    return s;
  };
  HostSet hosts;
  std::vector<std::string> texts;
  for (int i = 0; i < 40; ++i) {
    std::string host = name();
    bool subdomains = pick(2) != 0;
    hosts.add(host, subdomains ? HostSet::SUBDOMAINS : HostSet::EXACT);
    texts.push_back(subdomains ? ">." + host : host);
  }
  for (int i = 0; i < 3000; ++i) {
    std::string host = name();
    bool expected = false;
    for (const std::string& text : texts) {
      expected = expected || rule_text_matches(text, whole_text(host.data(), host.size()));
    }
    ASSERT_EQ(hosts.matches(host), expected) << host;
  }
}

}  // namespace
