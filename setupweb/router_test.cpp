#include "setupweb/router.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "setupweb/definitions.h"
#include "tests/support/machine.h"
#include "tests/support/transcribed_pages.h"

namespace {

using setup_test::crlf;

// ---- form values ----------------------------------------------------------

struct ExtractCase {
  std::string target;
  std::optional<std::string> v1, v2, v3;
  std::string remaining;  // the target as far as its first zero afterwards
};

class ExtractFormValues : public ::testing::TestWithParam<ExtractCase> {};

std::optional<std::string> text_or_none(const char* value) {
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

TEST_P(ExtractFormValues, TakesValuesByPosition) {
  const ExtractCase& c = GetParam();
  std::vector<char> target(c.target.begin(), c.target.end());
  target.push_back('\0');
  const FormValues values = extract_form_values(target.data());
  EXPECT_EQ(text_or_none(values.value[0]), c.v1);
  EXPECT_EQ(text_or_none(values.value[1]), c.v2);
  EXPECT_EQ(text_or_none(values.value[2]), c.v3);
  EXPECT_EQ(std::string(target.data()), c.remaining);
}

const auto none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Targets, ExtractFormValues,
    ::testing::Values(ExtractCase{"", none, none, none, ""},
                      ExtractCase{"proxy/?host=gate&port=8080&x=1&y=2", "gate", "8080", "1&y=2",
                                  "proxy/?host=gate"},
                      ExtractCase{"proxy/?host=gate", "gate", none, none, "proxy/?host=gate"},
                      ExtractCase{"index.html?a=1&b=2", "1", "2", none, "index.html?a=1"},
                      ExtractCase{"?a=&b=", "", "", none, "?a="},
                      ExtractCase{"?=", "", none, none, "?="},
                      ExtractCase{"?x", none, none, none, "?x"},
                      // No "=" after the first "&": values 2 and 3 are absent.
                      ExtractCase{"?a=1&b&c", "1", none, none, "?a=1"},
                      ExtractCase{"?a=1&b=2&c", "1", "2", none, "?a=1"},
                      // The "=" may come before any "?": the path is searched too.
                      ExtractCase{"x=y/z", "y/z", none, none, "x=y/z"},
                      ExtractCase{"?a=1&b=2&c=3&d=4", "1", "2", "3&d=4", "?a=1"},
                      ExtractCase{"?a=1&&b=2", "1", "2", none, "?a=1"},
                      ExtractCase{"?a==1&b", "=1", none, none, "?a==1"}));

// ---- page choice ----------------------------------------------------------

struct PageCase {
  std::string target;
  SetupPage page;
};

class ChoosePage : public ::testing::TestWithParam<PageCase> {};

TEST_P(ChoosePage, ByTheFirstBytes) {
  EXPECT_EQ(choose_page(GetParam().target.c_str()), GetParam().page);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ChoosePage,
    ::testing::Values(PageCase{"", SetupPage::General}, PageCase{"?ie=ie", SetupPage::General},
                      PageCase{"definitions/", SetupPage::Definitions},
                      PageCase{"definitely", SetupPage::Definitions},
                      PageCase{"def", SetupPage::NotFound},
                      PageCase{"Definitions/", SetupPage::NotFound},
                      PageCase{"proxy/", SetupPage::Proxy}, PageCase{"proxy", SetupPage::NotFound},
                      PageCase{"Proxy/", SetupPage::NotFound}, PageCase{"about/", SetupPage::About},
                      PageCase{"about", SetupPage::NotFound}, PageCase{"/x", SetupPage::NotFound},
                      PageCase{"index.html", SetupPage::NotFound}));

// ---- who sent the request ---------------------------------------------------

struct TrustCase {
  std::string request;
  RequestTrust trust;
};

class JudgeRequest : public ::testing::TestWithParam<TrustCase> {};

TEST_P(JudgeRequest, ByItsHeaders) {
  EXPECT_EQ(judge_request(GetParam().request.c_str()), GetParam().trust);
}

std::string with_headers(std::string_view lines) {
  return "GET /proxy/?host=x&port=1 HTTP/1.1\r\n" + std::string(lines) + "\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, JudgeRequest,
    ::testing::Values(
        // Acting needs our own Host; without one a request is a plain visit.
        TrustCase{"GET / HTTP/1.0\r\n\r\n", RequestTrust::PlainVisit},
        TrustCase{"GET / HTTP/1.0", RequestTrust::PlainVisit},
        TrustCase{with_headers("Sec-Fetch-Site: none\r\nReferer: http://127.0.0.1:8000/\r\n"),
                  RequestTrust::PlainVisit},
        TrustCase{with_headers("Host: 127.0.0.1:8000\r\n"), RequestTrust::Act},
        TrustCase{with_headers("host: LOCALHOST:8000\r\n"), RequestTrust::Act},
        TrustCase{with_headers("Host: evil.example:8000\r\n"), RequestTrust::Forbidden},
        TrustCase{with_headers("Host: 127.0.0.1\r\n"), RequestTrust::Forbidden},
        TrustCase{with_headers("Host: 127.0.0.1:8000\r\nSec-Fetch-Site: same-origin\r\n"),
                  RequestTrust::Act},
        TrustCase{with_headers("Host: localhost:8000\r\nSec-Fetch-Site: none\r\n"),
                  RequestTrust::Act},
        TrustCase{with_headers("sec-fetch-site: cross-site\r\n"), RequestTrust::PlainVisit},
        TrustCase{with_headers("Sec-Fetch-Site: same-site\r\n"), RequestTrust::PlainVisit},
        TrustCase{with_headers("Host: 127.0.0.1:8000\r\nOrigin: http://127.0.0.1:8000\r\n"),
                  RequestTrust::Act},
        TrustCase{with_headers("Origin: http://localhost:8000\r\nHost: localhost:8000\r\n"),
                  RequestTrust::Act},
        TrustCase{with_headers("Origin: null\r\n"), RequestTrust::PlainVisit},
        TrustCase{with_headers("Origin: http://attacker.example\r\n"), RequestTrust::PlainVisit},
        TrustCase{with_headers("Host: 127.0.0.1:8000\r\nReferer: http://127.0.0.1:8000/proxy/\r\n"),
                  RequestTrust::Act},
        TrustCase{with_headers("Host: 127.0.0.1:8000\r\nREFERER: http://localhost:8000\r\n"),
                  RequestTrust::Act},
        TrustCase{with_headers("Host: 127.0.0.1:8000\r\nReferer: http://127.0.0.1:8000?x\r\n"),
                  RequestTrust::Act},
        TrustCase{with_headers("Referer: http://127.0.0.1:8000.evil.example/\r\n"),
                  RequestTrust::PlainVisit},
        TrustCase{with_headers("Referer: http://attacker.example/?http://127.0.0.1:8000/\r\n"),
                  RequestTrust::PlainVisit},
        // A foreign Host wins over everything else.
        TrustCase{with_headers("Referer: http://evil/\r\nHost: evil:8000\r\n"),
                  RequestTrust::Forbidden},
        // Lines after the header block are a body, not headers.
        TrustCase{with_headers("Host: 127.0.0.1:8000\r\n") + "Origin: http://evil\r\n",
                  RequestTrust::Act}));

TEST(JudgeRequest, NoRequestTextIsAPlainVisit) {
  EXPECT_EQ(judge_request(nullptr), RequestTrust::PlainVisit);
}

// ---- what goes on the wire --------------------------------------------------

class ServeSetupRequest : public vmtest::InstallDirTest {
 protected:
  // Serves one request and returns every byte the client would receive.
  std::string serve(std::string target, const std::string& request) {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::string received;
    std::thread reader([&] {
      char buffer[65536];
      ssize_t n;
      while ((n = read(pair[1], buffer, sizeof buffer)) > 0) received.append(buffer, n);
    });
    std::vector<char> writable(target.begin(), target.end());
    writable.push_back('\0');
    serve_setup_request(pair[0], writable.data(), request.c_str());
    close(pair[0]);
    reader.join();
    close(pair[1]);
    return received;
  }
};

const std::string OK_HEAD =
    "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
    "X-Frame-Options: DENY\r\n\r\n";

TEST_F(ServeSetupRequest, AboutPageBehindItsHead) {
  const std::string wire = serve("about/", "GET /about/ HTTP/1.0\r\n\r\n");
  ASSERT_EQ(wire.substr(0, OK_HEAD.size()), OK_HEAD);
  const std::string page = wire.substr(OK_HEAD.size());
  EXPECT_EQ(page.substr(0, 8), "<html>\r\n");
  EXPECT_EQ(page.substr(page.size() - 10), "</html>\r\n\n");
  EXPECT_NE(page.find(" width=\"100%\" height=\"100%\">"), std::string::npos);
}

TEST_F(ServeSetupRequest, NotFoundPageShowsTheCutTarget) {
  const std::string wire = serve("index.html?a=1&b=2", "GET /index.html?a=1&b=2 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(wire, crlf("HTTP/1.0 404 Not Found\n"
                       "Content-Type: text/html\n"
                       "Cache-Control: no-store\n"
                       "X-Frame-Options: DENY\n"
                       "\n"
                       "<HTML><HEAD><META HTTP-EQUIV=\"Refresh\" CONTENT=\"0; "
                       "URL=http://127.0.0.1:8000/\"><TITLE>Vellomar Setup</TITLE>\n"
                       "</HEAD><BODY>Page not found: (http://127.0.0.1:8000/index.html?a=1). "
                       "Click <a href=\"http://127.0.0.1:8000/\">here.</a></BODY>\n"
                       "</HTML>\n") +
                      "\n");
}

TEST_F(ServeSetupRequest, NotFoundSlotKeepsPercentAndEscapesMarkup) {
  const std::string wire = serve("/x%s%d<b>", "GET //x%s%d<b> HTTP/1.0\r\n\r\n");
  EXPECT_NE(wire.find("(http://127.0.0.1:8000//x%s%d&lt;b&gt;)"), std::string::npos);
}

TEST_F(ServeSetupRequest, LongNotFoundPageIsSentWhole) {
  const std::string target(40000, 'q');
  const std::string wire = serve(target, "GET /" + target + " HTTP/1.0\r\n\r\n");
  EXPECT_NE(wire.find(target + "). Click"), std::string::npos);
  EXPECT_EQ(wire.substr(wire.size() - 10), "</HTML>\r\n\n");
}

TEST_F(ServeSetupRequest, ForeignHostGetsNoPage) {
  put_file("Vellomar.ini", "Aold\r\n");
  const std::string wire = serve("definitions/?settings=new",
                                 "GET /definitions/?settings=new HTTP/1.1\r\n"
                                 "Host: rebound.example:8000\r\n\r\n");
  EXPECT_EQ(wire,
            "HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
            "X-Frame-Options: DENY\r\n\r\n\n");
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Aold\r\n");
}

TEST_F(ServeSetupRequest, CrossSiteSaveChangesNothing) {
  put_file("Vellomar.ini", "Aold\r\n");
  const std::string wire = serve("definitions/?settings=Anew",
                                 "GET /definitions/?settings=Anew HTTP/1.1\r\n"
                                 "Host: 127.0.0.1:8000\r\nSec-Fetch-Site: cross-site\r\n\r\n");
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Aold\r\n");
  EXPECT_NE(wire.find(">Aold\n</textarea>"), std::string::npos);
}

TEST_F(ServeSetupRequest, BigDefinitionsPageIsSentWhole) {
  // A file that fills the text area makes a page beyond the old 32766-byte
  // page buffer; it must still arrive with all its markup.
  std::string big;
  while (big.size() < DEFINITIONS_TEXT_LIMIT) big += "Aads.example.com\n";
  big.resize(DEFINITIONS_TEXT_LIMIT);
  put_file("Vellomar.ini", big);
  const std::string wire = serve("definitions/", "GET /definitions/ HTTP/1.0\r\n\r\n");
  EXPECT_GT(wire.size(), OK_HEAD.size() + PAGE_TEXT_LIMIT);
  EXPECT_NE(wire.find(big + "</textarea><br>\r\n"), std::string::npos);
  EXPECT_EQ(wire.substr(wire.size() - 10), "</html>\r\n\n");
}

}  // namespace
