// Request-line reading: the same words as the scanf patterns the proxy has
// always used ("%s %s %s" for CONNECT, "%s http://%s%c..." otherwise), and
// everything after the host-and-path kept whole.
#include "proxy/request_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
  const char* name;
  std::string piece;
  RequestKind kind;
  std::string method, host, path, rest;
};

class ParseRequestLineTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseRequestLineTest, SplitsLikeTheScanfPatterns) {
  const ParseCase& c = GetParam();
  const RequestLine line = parse_request_line(c.piece);
  ASSERT_EQ(line.kind, c.kind);
  if (c.kind == RequestKind::NOT_A_REQUEST) return;
  EXPECT_EQ(line.method, c.method);
  EXPECT_EQ(line.host, c.host);
  EXPECT_EQ(line.path, c.path);
  EXPECT_EQ(line.rest, c.rest);
}

const std::string kHeaders = "\r\nHost: host1\r\nAccept: */*\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Pieces, ParseRequestLineTest,
    testing::Values(ParseCase{"PlainWithQuery", "GET http://host1/a/b?c=d HTTP/1.0" + kHeaders,
                              RequestKind::PLAIN, "GET", "host1", "/a/b?c=d",
                              " HTTP/1.0" + kHeaders},
                    ParseCase{"PlainWithPort", "GET http://host1:8080/x HTTP/1.1\r\n\r\n",
                              RequestKind::PLAIN, "GET", "host1:8080", "/x", " HTTP/1.1\r\n\r\n"},
                    ParseCase{"PostWithBody", "POST http://h/form HTTP/1.0\r\n\r\na=1",
                              RequestKind::PLAIN, "POST", "h", "/form", " HTTP/1.0\r\n\r\na=1"},
                    // Blanks between the method and the address are skipped, as " " in a
                    // scanf format skips any run of them.
                    ParseCase{"SeveralBlanks", "GET \t http://h/p HTTP/1.0\r\n", RequestKind::PLAIN,
                              "GET", "h", "/p", " HTTP/1.0\r\n"},
                    ParseCase{"NoSlashAfterHost", "GET http://host1 HTTP/1.0\r\n\r\n",
                              RequestKind::NOT_A_REQUEST, "", "", "", ""},
                    ParseCase{"NothingAfterAddress", "GET http://host1/a",
                              RequestKind::NOT_A_REQUEST, "", "", "", ""},
                    ParseCase{"UpperCaseScheme", "GET HTTP://host1/a HTTP/1.0\r\n",
                              RequestKind::NOT_A_REQUEST, "", "", "", ""},
                    ParseCase{"OriginForm", "POST /x HTTP/1.0\r\n\r\n", RequestKind::NOT_A_REQUEST,
                              "", "", "", ""},
                    ParseCase{"BodyBytes", "a=1&b=2", RequestKind::NOT_A_REQUEST, "", "", "", ""},
                    ParseCase{"Empty", "", RequestKind::NOT_A_REQUEST, "", "", "", ""},
                    ParseCase{"Connect", "CONNECT host1:443 HTTP/1.0\r\n\r\n", RequestKind::TUNNEL,
                              "CONNECT", "host1:443", "", ""},
                    ParseCase{"ConnectMissingVersion", "CONNECT host1:443",
                              RequestKind::NOT_A_REQUEST, "", "", "", ""},
                    // The method test is case-sensitive: a lower-case connect is read as
                    // a plain request, which it is not.
                    ParseCase{"LowerCaseConnect", "connect host1:443 HTTP/1.0\r\n\r\n",
                              RequestKind::NOT_A_REQUEST, "", "", "", ""}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(ParseRequestLine, KeepsEverythingAfterTheAddressHoweverLong) {
  // Far more than the 4096 bytes scanf's "%4096c" used to take.
  const std::string cookie = "Cookie: " + std::string(10000, 'c') + "\r\n";
  const std::string rest = " HTTP/1.1\r\nHost: h\r\n" + cookie + "\r\n";
  const std::string piece = "GET http://h/p" + rest;
  const RequestLine line = parse_request_line(piece);
  ASSERT_EQ(line.kind, RequestKind::PLAIN);
  EXPECT_EQ(line.rest, rest);
}

TEST(ParseRequestLine, KeepsBinaryBodyBytesAfterAZero) {
  const std::string rest = std::string(" HTTP/1.0\r\n\r\n\x01\x00\x02\xff", 17);
  const std::string piece = "PUT http://h/up" + rest;
  const RequestLine line = parse_request_line(piece);
  ASSERT_EQ(line.kind, RequestKind::PLAIN);
  EXPECT_EQ(line.rest, rest);
  EXPECT_EQ(line.rest.size(), 17u);
}

TEST(ParseRequestLine, TheWordsEndAtTheFirstZeroByte) {
  const std::string piece = std::string("GET http://h/p\0 HTTP/1.0\r\n", 26);
  EXPECT_EQ(parse_request_line(piece).kind, RequestKind::NOT_A_REQUEST);
}

struct PortCase {
  const char* host;
  int port;
  std::size_t bare_length;
};

class PortOfHostTest : public testing::TestWithParam<PortCase> {};

TEST_P(PortOfHostTest, TakesOnlyDigitsInRange) {
  std::size_t bare = 99;
  EXPECT_EQ(port_of_host(GetParam().host, &bare), GetParam().port);
  EXPECT_EQ(bare, GetParam().bare_length);
}

INSTANTIATE_TEST_SUITE_P(Hosts, PortOfHostTest,
                         testing::Values(PortCase{"host1", 80, 5}, PortCase{"host1:8080", 8080, 5},
                                         PortCase{"h:65535", 65535, 1}, PortCase{"h:0080", 80, 1},
                                         PortCase{"h:", -1, 1}, PortCase{"h:abc", -1, 1},
                                         PortCase{"h:443x", -1, 1}, PortCase{"h: 81", -1, 1},
                                         PortCase{"h:+81", -1, 1}, PortCase{"h:-1", -1, 1},
                                         PortCase{"h:0", -1, 1}, PortCase{"h:65536", -1, 1},
                                         PortCase{"h:73617", -1, 1},
                                         PortCase{"h:99999999999999", -1, 1},
                                         PortCase{":8081", 8081, 0}, PortCase{"", 80, 0}));

}  // namespace
