// The proxy's own answers, checked byte for byte against the texts browsers
// have always received, and the connect-failure page's composition.
#include "proxy/canned_responses.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string crlf_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string lf_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

struct FixedAnswer {
  const char* name;
  const std::string_view* actual;
  std::string expected;
  std::size_t size;
};

class FixedAnswerTest : public testing::TestWithParam<FixedAnswer> {};

TEST_P(FixedAnswerTest, IsByteForByte) {
  const FixedAnswer& answer = GetParam();
  EXPECT_EQ(answer.actual->size(), answer.size);
  EXPECT_EQ(std::string(*answer.actual), answer.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FixedAnswerTest,
    testing::Values(
        FixedAnswer{"BlockedImageHeader", &BLOCKED_IMAGE_HEADER,
                    crlf_lines({"HTTP/1.1 200 OK", "Date: Tue, 09 Mar 1999 22:33:13 GMT",
                                "Server: Vellomar", "Last-Modified: Tue, 09 Mar 1999 22:32:44 GMT",
                                "ETag: \"550e8-28-36e5a18c\"", "Content-Length: 54",
                                "Accept-Ranges: bytes", "Content-Type: image/gif", ""}),
                    214},
        FixedAnswer{"BlockedImage", &BLOCKED_IMAGE,
                    std::string("\x47\x49\x46\x38\x39\x61\x08\x00\x08\x00\x91\xFF\x00\xFF\xFF\xFF"
                                "\x00\x00\x00\xC0\xC0\xC0\x00\x00\x00\x21\xF9\x04\x01\x00\x00\x02"
                                "\x00\x2C\x00\x00\x00\x00\x08\x00\x08\x00\x40\x02\x07\x94\x8F\xA9"
                                "\xCB\xED\x5D\x00\x00\x3B",
                                54),
                    54},
        FixedAnswer{
            "BlockedTunnelPage", &BLOCKED_TUNNEL_PAGE,
            crlf_lines({"HTTP/1.0 503 Connect failed", "Content-Type: text/html", "",
                        "<HTML><HEAD><TITLE>Connect failed</TITLE>", "</HEAD><BODY>",
                        "<!--Vellomar thinks this is an Ad-->", "&nbsp;</BODY>", "</HTML>"}),
            176},
        FixedAnswer{
            "CloseWindowPage", &CLOSE_WINDOW_PAGE,
            lf_lines({"HTTP/1.0 503 Connect failed", "Content-Type: text/html", "", "<HTML>",
                      "<script language=javascript>", "<!--", "function goaway() {",
                      "window.close();", "}", "//-->", "</script>", "<HEAD><TITLE></TITLE></HEAD>",
                      "<BODY onload='goaway()'>", "</BODY>", "</HTML>"}),
            218},
        FixedAnswer{
            "ReloadPage", &RELOAD_PAGE,
            "<HTML>\n" + crlf_lines({"<HEAD><TITLE>Blocked Sites Reloaded</TITLE></HEAD>", "<BODY>",
                                     "<H1>Vellomar.ini has been reloaded.</H1>",
                                     "<BR><BR><BR><a href=\"javascript:history.back(1)\">Back</a>",
                                     "</BODY></HTML>", ""}),
            186},
        FixedAnswer{"TunnelEstablished", &TUNNEL_ESTABLISHED,
                    lf_lines({"HTTP/1.0 200 Connection established",
                              "Proxy-Agent: Vellomar (http://www.vellomar.org)", ""}),
                    85}),
    [](const testing::TestParamInfo<FixedAnswer>& info) { return std::string(info.param.name); });

// The page as it must read for a host and a reason, assembled here from the
// lines themselves.
std::string expected_failure_page(const std::string& shown_host, const std::string& title,
                                  const std::string& explanation) {
  return crlf_lines({"HTTP/1.0 503 Server temporarily unavailable",
                     "Server: Vellomar/0.1",
                     "",
                     "<HTML>",
                     "<HEAD><TITLE>Message From Vellomar</TITLE></HEAD>",
                     "<BODY><CENTER>",
                     "<table cellpadding=\"0\" cellspacing=\"0\" border=\"1\">",
                     "<tr><td align=\"center\" valign=\"top\">",
                     "<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\">",
                     "<tr><td align=\"center\" valign=\"top\" bgcolor=\"#FF0000\" nowrap>",
                     "<font face=\"arial\" size=\"3\" color=\"#FFFFFF\">",
                     "Connect Failed",
                     "</font>",
                     "</td></tr>",
                     "<tr><td align=\"center\" valign=\"top\">",
                     "<font face=\"arial\" size=\"3\">",
                     "<br>Vellomar was unable to connect to \"" + shown_host + "\"",
                     "</font>",
                     "</td></tr>",
                     "<tr><td align=\"center\" valign=\"top\">",
                     "<font face=\"arial\" size=\"3\">",
                     "<br><b>"}) +
         title + "\r\n" +
         crlf_lines({"<br><br></b>", "</font>", "</td></tr>",
                     "<tr><td align=\"center\" valign=\"top\">",
                     "<font face=\"arial\" size=\"2\">"}) +
         explanation + "\r\n" +
         crlf_lines({"<br><br><a href=\"javascript:location.reload()\">Try again</a>.", "</font>",
                     "</td></tr>", "</table>", "</td></tr>", "</table>",
                     "</CENTER></BODY></HTML>"});
}

struct FailureCase {
  int code;
  const char* title;
  const char* explanation;
};

class ConnectFailurePageTest : public testing::TestWithParam<FailureCase> {};

TEST_P(ConnectFailurePageTest, ReadsAsTheTableSays) {
  const FailureCase& c = GetParam();
  char page[32768];
  const std::size_t length =
      compose_connect_failure_page(page, sizeof page, "www.example.com", c.code);
  EXPECT_EQ(std::string(page, length),
            expected_failure_page("www.example.com", c.title, c.explanation));
  EXPECT_EQ(page[length], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ConnectFailurePageTest,
    testing::Values(
        FailureCase{10049, "The address is invalid.",
                    "The name of the server could not be resolved by your nameserver. The name "
                    "may have been typed incorrectly or there may be a nameserver problem."},
        FailureCase{10050, "The network subsystem failed.",
                    "Your computer's TCP/IP protocol failed. Make sure it is properly configured "
                    "and you are able to connect to the internet."},
        FailureCase{10051, "The network is unreachable.",
                    "There is a network problem between your computer and the server that you "
                    "are trying to reach. Make sure you are connected to the internet."},
        FailureCase{10060, "Connection timed out.",
                    "The server didn't response within the time limit. It is either busy or "
                    "there is a network problem."},
        FailureCase{10061, "The connection was refused.",
                    "The server you are trying to access refused the connection. The server is "
                    "responding but it is not running a web server. Either it is the wrong "
                    "computer or it's web server has crashed."},
        FailureCase{10065, "Host Unreachable.",
                    "There is either a network problem or the server is on a network that can't "
                    "be reached from your computer."},
        FailureCase{10064, "Reason Unknown",
                    "The connection to this server failed for an unknown reason."},
        FailureCase{0, "Reason Unknown",
                    "The connection to this server failed for an unknown reason."}));

TEST(ConnectFailurePage, EscapesMarkupInTheHostName) {
  char page[32768];
  const std::size_t length = compose_connect_failure_page(page, sizeof page, "a&b<c>\"d", 10061);
  EXPECT_EQ(std::string(page, length),
            expected_failure_page("a&amp;b&lt;c&gt;&quot;d", "The connection was refused.",
                                  "The server you are trying to access refused the connection. "
                                  "The server is responding but it is not running a web server. "
                                  "Either it is the wrong computer or it's web server has "
                                  "crashed."));
}

TEST(ConnectFailurePage, ShortensAHostThatWouldNotFitAndNeverSplitsAnEscape) {
  const std::string fixed = expected_failure_page("", "Reason Unknown",
                                                  "The connection to this server failed for an "
                                                  "unknown reason.");
  // Room for the fixed page, its zero and 6 bytes of host: "ab" and "&amp;"
  // would need 7, so the host shows as "ab" with no part of the escape.
  std::vector<char> page(fixed.size() + 1 + 6, 'X');
  const std::size_t length = compose_connect_failure_page(page.data(), page.size(), "ab&cdefgh", 1);
  EXPECT_EQ(std::string(page.data(), length),
            expected_failure_page("ab", "Reason Unknown",
                                  "The connection to this server failed for an unknown reason."));
  EXPECT_LT(length, page.size());

  // A huge host in the usual buffer: complete page, nothing past the buffer.
  std::vector<char> big(32768 + 16, 'Z');
  const std::string huge_host(40000, 'h');
  const std::size_t big_length =
      compose_connect_failure_page(big.data(), 32768, huge_host.c_str(), 10061);
  EXPECT_EQ(big_length, 32767u);
  EXPECT_EQ(big[32767], '\0');
  for (std::size_t i = 32768; i < big.size(); ++i) EXPECT_EQ(big[i], 'Z');
  EXPECT_NE(std::string(big.data(), big_length).find("</CENTER></BODY></HTML>\r\n"),
            std::string::npos);
}

TEST(ConnectFailurePage, NeverWritesPastATinyBuffer) {
  char page[40];
  std::memset(page, 'Q', sizeof page);
  const std::size_t length = compose_connect_failure_page(page, 20, "host", 10061);
  EXPECT_EQ(length, 19u);
  EXPECT_EQ(page[19], '\0');
  for (std::size_t i = 20; i < sizeof page; ++i) EXPECT_EQ(page[i], 'Q');
}

}  // namespace
