#include "platform/winsock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

struct VersionCase {
  WORD requested;
  int result;
  WORD granted;
};

void PrintTo(const VersionCase& c, std::ostream* os) {
  *os << "version_" << c.requested;
}

class StartupTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(StartupTest, GrantsUpToTwoPointTwo) {
  WSADATA data{};
  EXPECT_EQ(WSAStartup(GetParam().requested, &data), GetParam().result);
  if (GetParam().result == 0) {
    EXPECT_EQ(data.wVersion, GetParam().granted);
    EXPECT_EQ(data.wHighVersion, 0x0202);
  }
}

// Versions are major in the low byte, minor in the high byte.
INSTANTIATE_TEST_SUITE_P(
    Versions, StartupTest,
    ::testing::Values(VersionCase{0x0202, 0, 0x0202}, VersionCase{0x0101, 0, 0x0101},
                      VersionCase{0x0002, 0, 0x0002}, VersionCase{0x0303, 0, 0x0202},
                      VersionCase{0x0001, 10092, 0}, VersionCase{0x0100, 10092, 0}));

struct ErrorCase {
  int error;
  int expected;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << "errno_" << c.error;
}

class ErrorNumberTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorNumberTest, MapsErrno) {
  errno = GetParam().error;
  EXPECT_EQ(WSAGetLastError(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Errors, ErrorNumberTest,
                         ::testing::Values(ErrorCase{ECONNREFUSED, WSAECONNREFUSED},
                                           ErrorCase{ETIMEDOUT, WSAETIMEDOUT},
                                           ErrorCase{ENETUNREACH, WSAENETUNREACH},
                                           ErrorCase{EHOSTUNREACH, WSAEHOSTUNREACH},
                                           ErrorCase{EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
                                           ErrorCase{ENETDOWN, WSAENETDOWN},
                                           ErrorCase{EINTR, WSAEINTR}, ErrorCase{EPERM, EPERM},
                                           ErrorCase{ECONNRESET, ECONNRESET}));

TEST(ConnectTest, AllOnesAddressFailsAsUnavailable) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  address.sin_addr.s_addr = inet_addr("no.such.name");  // all ones
  EXPECT_EQ(connect_socket(s, address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
  closesocket(s);
}

TEST(ConnectTest, ClosedPortIsRefusedAndOpenOneConnects) {
  // A port that was just bound and closed again has no listener.
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_EQ(listen(listener, 1), 0);

  const SOCKET good = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connect_socket(good, address), 0);
  closesocket(good);
  closesocket(listener);

  const SOCKET refused = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connect_socket(refused, address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  closesocket(refused);
  EXPECT_EQ(closesocket(INVALID_SOCKET), 0);
}

TEST(WaitReadableTest, ReportsEachSide) {
  int a[2], b[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
  bool first = true, second = true;
  EXPECT_EQ(wait_readable(a[0], b[0], 0, &first, &second), 0);
  EXPECT_FALSE(first);
  EXPECT_FALSE(second);

  ASSERT_EQ(write(b[1], "x", 1), 1);
  EXPECT_EQ(wait_readable(a[0], b[0], 5, &first, &second), 1);
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);

  // A peer that closed counts as ready; an unwatched side is never ready.
  close(a[1]);
  EXPECT_EQ(wait_readable(a[0], -1, 5, &first, &second), 1);
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  close(a[0]);
  close(b[0]);
  close(b[1]);
}

TEST(LookupTest, FindsIpv4Addresses) {
  std::uint32_t address = 0;
  ASSERT_EQ(lookup_ipv4("127.0.0.1", &address), 0);
  EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
  address = 0;
  ASSERT_EQ(lookup_ipv4("localhost", &address), 0);
  EXPECT_EQ(ntohl(address) >> 24, 127u);
  EXPECT_EQ(lookup_ipv4("name.invalid", &address), -1);
}

struct ResolveCase {
  const char* name;
  const char* host;
  std::uint32_t expected;
};

class ResolveHostTest : public testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveHostTest, GivesTheAddressInNetworkOrder) {
  EXPECT_EQ(resolve_host(GetParam().host), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ResolveHostTest,
    testing::Values(ResolveCase{"Empty", "", 0}, ResolveCase{"Null", nullptr, 0},
                    ResolveCase{"Dotted", "10.1.2.3", inet_addr("10.1.2.3")},
                    ResolveCase{"Localhost", "localhost", inet_addr("127.0.0.1")},
                    ResolveCase{"Unknown", "no-such-host.invalid", 0xFFFFFFFFu}),
    [](const testing::TestParamInfo<ResolveCase>& info) { return std::string(info.param.name); });

}  // namespace
