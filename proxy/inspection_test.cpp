#include "proxy/inspection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "certauth/authority.h"
#include "settings/registry_settings.h"
#include "tests/support/machine.h"

namespace {

struct SuffixCase {
  const char* host;
  bool passes;
};

class HostSuffixTest : public ::testing::TestWithParam<SuffixCase> {};

TEST_P(HostSuffixTest, MatchesWholeLabelsOnly) {
  const HostSuffixes list = HostSuffixes::parse(
      "# comment\r\n\r\n  bank.example  \r\n*.Updates.test\n.pinned.test\n192.0.2.1\n");
  EXPECT_EQ(list.matches(GetParam().host), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, HostSuffixTest,
    ::testing::Values(SuffixCase{"bank.example", true}, SuffixCase{"www.BANK.example", true},
                      SuffixCase{"evilbank.example", false}, SuffixCase{"bank.example.evil", false},
                      SuffixCase{"updates.test", true}, SuffixCase{"a.b.updates.test", true},
                      SuffixCase{"pinned.test", true}, SuffixCase{"192.0.2.1", true},
                      SuffixCase{"192.0.2.10", false}, SuffixCase{"# comment", false},
                      SuffixCase{"", false}));

TEST(InspectionState, FollowsSwitchAndAuthorityAndKeepsLeavesOfTheSameAuthority) {
  vmtest::Machine machine{"inspection"};
  machine.enter(machine.make_install_dir());
  std::ofstream(PASS_THROUGH_FILE) << "bank.example\n";
  reload_inspection();
  EXPECT_FALSE(current_inspection()->enabled);
  EXPECT_TRUE(passes_through(*current_inspection(), "www.bank.example"));

  ASSERT_TRUE(set_https_inspection_enabled(true));
  reload_inspection();
  EXPECT_FALSE(current_inspection()->enabled);  // no authority yet
  EXPECT_FALSE(current_inspection()->reason.empty());

  std::string error;
  ASSERT_TRUE(certauth::create_authority(&error)) << error;
  reload_inspection();
  const auto on = current_inspection();
  ASSERT_TRUE(on->enabled) << on->reason;
  on->leaves->leaf_for("a.test");
  reload_inspection();
  EXPECT_EQ(current_inspection()->leaves, on->leaves);
  EXPECT_EQ(on->leaves->size(), 1u);  // a snapshot taken stays as it was

  ASSERT_TRUE(set_https_inspection_enabled(false));
  reload_inspection();
  EXPECT_FALSE(current_inspection()->enabled);
  EXPECT_TRUE(on->enabled);
}

TEST(InspectionState, RemembersClientCertificateHostsPrivately) {
  vmtest::Machine machine{"inspection"};
  remember_client_certificate_host("Portal.Example");
  EXPECT_TRUE(passes_through(InspectionState{}, "portal.example"));
  std::ifstream stored(certauth::authority_directory() + "/" + REMEMBERED_HOSTS_FILE);
  std::string line;
  ASSERT_TRUE(std::getline(stored, line));
  EXPECT_EQ(line, "portal.example");
}

TEST(OriginFailurePage, EscapesHostAndReasonAndFramesTheBody) {
  const std::string page = origin_failure_page("<x>&\"", "bad <b>");
  EXPECT_EQ(page.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
  EXPECT_NE(page.find("&lt;x&gt;&amp;&quot;"), std::string::npos);
  EXPECT_NE(page.find("bad &lt;b&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<x>"), std::string::npos);
  const std::size_t body = page.find("\r\n\r\n") + 4;
  EXPECT_NE(page.find("Content-Length: " + std::to_string(page.size() - body) + "\r\n"),
            std::string::npos);
}

}  // namespace
