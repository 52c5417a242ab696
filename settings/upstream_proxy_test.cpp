// The upstream proxy setting: when a host and port put a proxy in use, and
// that a name is resolved once, when applied.
#include "settings/upstream_proxy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/winsock.h"
#include "tests/support/machine.h"

namespace {

// The setting logs through the activity log, which reads the registry: keep
// that in a machine folder of the test's own.
const testing::Environment* const own_machine_folder =
    testing::AddGlobalTestEnvironment(new vmtest::MachineEnvironment("upstream"));

struct SelectCase {
  const char* name;
  std::string host;
  int port;
  UpstreamState state;
  std::uint16_t stored_port;  // host byte order
};

class SelectUpstreamProxyTest : public testing::TestWithParam<SelectCase> {
 protected:
  void SetUp() override { reset_upstream_proxy(); }
  void TearDown() override { reset_upstream_proxy(); }
};

TEST_P(SelectUpstreamProxyTest, DecidesWhetherAProxyIsInUse) {
  const SelectCase& c = GetParam();
  select_upstream_proxy(c.host.c_str(), c.port);
  const UpstreamProxy proxy = current_upstream_proxy();
  EXPECT_EQ(proxy.state, c.state);
  EXPECT_EQ(proxy.port, c.stored_port);
  if (proxy.in_use()) {
    EXPECT_EQ(proxy.host, c.host);
    EXPECT_EQ(proxy.address, inet_addr(c.host.c_str()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SelectUpstreamProxyTest,
    testing::Values(
        SelectCase{"DottedAddress", "10.0.0.1", 8080, UpstreamState::InUse, 8080},
        SelectCase{"PortZero", "10.0.0.1", 0, UpstreamState::None, 0},
        // Only the low 16 bits of the port count.
        SelectCase{"PortLow16BitsZero", "10.0.0.1", 65536, UpstreamState::None, 0},
        SelectCase{"PortAbove16Bits", "10.0.0.1", 65536 + 3128, UpstreamState::InUse, 3128},
        SelectCase{"EmptyHost", "", 8080, UpstreamState::None, 8080},
        // The port stays stored although no proxy is in use.
        SelectCase{"UnknownName", "no-such-host.invalid", 8080, UpstreamState::Unresolved, 8080},
        SelectCase{"HostTooLongForTheSetting", std::string(80, 'h'), 8080,
                   UpstreamState::Unresolved, 8080}),
    [](const testing::TestParamInfo<SelectCase>& info) { return std::string(info.param.name); });

TEST(UpstreamProxy, EmptyHostKeepsTheHostLastApplied) {
  reset_upstream_proxy();
  select_upstream_proxy("10.0.0.1", 8080);
  select_upstream_proxy("", 8080);
  const UpstreamProxy proxy = current_upstream_proxy();
  EXPECT_STREQ(proxy.host, "10.0.0.1");
  EXPECT_FALSE(proxy.in_use());
  reset_upstream_proxy();
  EXPECT_STREQ(current_upstream_proxy().host, "");
  EXPECT_EQ(current_upstream_proxy().port, 0u);
}

TEST(UpstreamProxy, SuspendTakesItOutOfUseKeepingHostAndPort) {
  select_upstream_proxy("10.0.0.1", 8080);
  suspend_upstream_proxy();
  const UpstreamProxy proxy = current_upstream_proxy();
  EXPECT_EQ(proxy.state, UpstreamState::Suspended);
  EXPECT_STREQ(proxy.host, "10.0.0.1");
  EXPECT_EQ(proxy.port, 8080);
  reset_upstream_proxy();
}

}  // namespace
