#include "setupweb/pages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "browsercfg/desktop_side.h"
#include "settings/registry_settings.h"
#include "settings/upstream_proxy.h"
#include "setupweb/definitions.h"
#include "setupweb/router.h"
#include "tests/support/machine.h"
#include "tests/support/transcribed_pages.h"

namespace {

using namespace setup_test;

// ---- serving against a throw-away machine -----------------------------------

class SetupPages : public vmtest::InstallDirTest {
 protected:
  void SetUp() override { reset_upstream_proxy(); }
  void TearDown() override { reset_upstream_proxy(); }

  // Serves "GET /<target> HTTP/1.0" with our own Host and the extra header
  // lines, and returns every byte sent to the browser.
  std::string serve(const std::string& target, const std::string& header_lines = "") {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::string received;
    std::thread reader([&] {
      char buffer[65536];
      ssize_t n;
      while ((n = read(pair[1], buffer, sizeof buffer)) > 0) received.append(buffer, n);
    });
    const std::string request =
        "GET /" + target + " HTTP/1.0\r\nHost: 127.0.0.1:8000\r\n" + header_lines + "\r\n";
    std::vector<char> writable(target.begin(), target.end());
    writable.push_back('\0');
    serve_setup_request(pair[0], writable.data(), request.c_str());
    close(pair[0]);
    reader.join();
    close(pair[1]);
    return received;
  }

  // The page after the head, without the sender's final LF.
  std::string page_of(const std::string& wire) {
    EXPECT_EQ(wire.substr(0, OK_HEAD.size()), OK_HEAD);
    EXPECT_EQ(wire.back(), '\n');
    return wire.substr(OK_HEAD.size(), wire.size() - OK_HEAD.size() - 1);
  }

  static int install_flag(const char* name) {
    return read_setting_number("Software\\Vellomar\\Install", name);
  }
  static int log_flag() { return read_setting_number("Software\\Vellomar\\Log", "Enabled"); }
};

TEST_F(SetupPages, GeneralPageOnAFreshMachineChangesNothing) {
  EXPECT_EQ(serve(""), OK_HEAD + framed(NAV_GENERAL, general_content("", "", ""), "") + "\n");
  StoredProxySetting unused{};
  EXPECT_FALSE(read_proxy_setting(&unused));
  EXPECT_EQ(read_setting_number("Software\\Vellomar\\Log", "Enabled"), 0);
}

TEST_F(SetupPages, AboutPage) {
  EXPECT_EQ(page_of(serve("about/?x=1")), framed(NAV_ABOUT, ABOUT_CONTENT, ""));
}

TEST_F(SetupPages, DefinitionsPageEscapesTheTextArea) {
  put_file("Vellomar.ini", "Aads.example.com\r\nUa.example/?x=1&amp;y=2</textarea>%s%d\r\n");
  EXPECT_EQ(page_of(serve("definitions/")),
            framed(NAV_DEFINITIONS,
                   definitions_content("Aads.example.com\nUa.example/?x=1&amp;amp;y=2&lt;/"
                                       "textarea&gt;%s%d\n"),
                   "document.forms[0].settings.focus()"));
}

TEST_F(SetupPages, DefinitionsPageKeepsALeadingEmptyLine) {
  put_file("Vellomar.ini", "\r\nAx\r\n");
  EXPECT_NE(serve("definitions/").find("cols=\"55\">\n\nAx\n</textarea>"), std::string::npos);
}

TEST_F(SetupPages, ProxyPageWithNoSetting) {
  EXPECT_EQ(page_of(serve("proxy/")),
            framed(NAV_PROXY, proxy_content("", "", "0"), "document.mainForm.host.focus()"));
}

// ---- the General form's switches ----------------------------------------------

struct GeneralCase {
  std::string target;
  int ie, netscape, log;
};

class GeneralSubmission : public SetupPages, public ::testing::WithParamInterface<GeneralCase> {};

TEST_P(GeneralSubmission, WritesAllThreeSwitches) {
  const GeneralCase& c = GetParam();
  // Start from the opposite of what is expected, so every switch must be written.
  write_log_enabled(c.log ? 0 : 1);
  const std::string page = page_of(serve(c.target));
  EXPECT_EQ(install_flag("Internet Explorer"), c.ie);
  EXPECT_EQ(install_flag("Netscape"), c.netscape);
  EXPECT_EQ(log_flag(), c.log);
  EXPECT_EQ(page, framed(NAV_GENERAL,
                         general_content(c.ie ? "checked" : "", c.netscape ? "checked" : "",
                                         c.log ? "checked" : ""),
                         ""));
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, GeneralSubmission,
    ::testing::Values(GeneralCase{"?ie=ie&netscape=netscape&log=log&save=Save", 1, 1, 1},
                      GeneralCase{"?ie=ie&netscape=netscape&save=Save", 1, 1, 0},
                      GeneralCase{"?ie=ie&log=log&save=Save", 1, 0, 1},
                      GeneralCase{"?ie=ie&save=Save", 1, 0, 0},
                      GeneralCase{"?netscape=netscape&log=log&save=Save", 0, 1, 1},
                      GeneralCase{"?netscape=netscape&save=Save", 0, 1, 0},
                      GeneralCase{"?log=log&save=Save", 0, 0, 1},
                      GeneralCase{"?save=Save", 0, 0, 0}, GeneralCase{"?=", 0, 0, 0},
                      GeneralCase{"?host=gate&port=80", 0, 0, 0},
                      // Value 3 is compared on its first three characters only.
                      GeneralCase{"?ie=ie&netscape=netscape&log=logbook", 1, 1, 1},
                      GeneralCase{"?ie=ie&log=logbook", 1, 0, 0}));

// A submission that changes a Firefox profile says, in one added line, that a
// running Firefox takes the change at its next start; one that changes none
// gives the page as it always was.
TEST_F(SetupPages, GeneralSaysSoOnlyWhenAFirefoxProfileChanged) {
  const std::filesystem::path firefox = machine_.prefix() / "mozilla" / "firefox";
  std::filesystem::create_directories(firefox / "p.default");
  std::ofstream(firefox / "profiles.ini") << "[Profile0]\nIsRelative=1\nPath=p.default\n";
  const std::string note = std::string(FIREFOX_RESTART_NOTE) + "</font></p>\r\n";
  for (const char* target : {"?netscape=netscape&save=Save", "?save=Save"}) {
    std::string page = page_of(serve(target));
    EXPECT_NE(page.find(note), std::string::npos) << target;
    page = page_of(serve(target));
    EXPECT_EQ(page.find(FIREFOX_RESTART_NOTE), std::string::npos) << target;
  }
  EXPECT_FALSE(std::filesystem::exists(firefox / "p.default" / "user.js"));
}

TEST_F(SetupPages, GeneralWithoutValuesWritesNothing) {
  write_log_enabled(1);
  serve("?x");
  EXPECT_EQ(log_flag(), 1);
  EXPECT_EQ(install_flag("Internet Explorer"), 0);
}

TEST_F(SetupPages, CrossSiteGeneralSubmissionWritesNothing) {
  write_log_enabled(1);
  const std::string page =
      page_of(serve("?save=Save", "Referer: http://attacker.example/page.html\r\n"));
  EXPECT_EQ(log_flag(), 1);
  EXPECT_EQ(page, framed(NAV_GENERAL, general_content("", "", "checked"), ""));
}

// ---- the Ad Definitions form ---------------------------------------------------

TEST_F(SetupPages, SaveWritesTheFileAndShowsIt) {
  const std::string page = page_of(serve("definitions/?settings=Hello+World%21"));
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Hello World!");
  EXPECT_NE(page.find("cols=\"55\">Hello World!</textarea>"), std::string::npos);
}

// A save replaces the file only when the page could show all of it.
class SaveOverABigFile : public SetupPages, public testing::WithParamInterface<std::size_t> {};

TEST_P(SaveOverABigFile, NeverShortensAFileThePageShowedCut) {
  std::string file;
  while (file.size() < GetParam()) file += "Aads.example.com\n";
  file.resize(GetParam());
  put_file("Vellomar.ini", file);
  const std::string page = page_of(serve("definitions/?settings=Anew"));
  const bool whole = GetParam() <= DEFINITIONS_TEXT_LIMIT;
  EXPECT_EQ(file_bytes("Vellomar.ini"), whole ? "Anew" : file);
  EXPECT_EQ(page.find(DEFINITIONS_TOO_BIG_MESSAGE) != std::string::npos, !whole);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SaveOverABigFile,
                         testing::Values(DEFINITIONS_TEXT_LIMIT, DEFINITIONS_TEXT_LIMIT + 1,
                                         4 * DEFINITIONS_TEXT_LIMIT));

TEST_F(SetupPages, EmptySaveEmptiesTheFile) {
  put_file("Vellomar.ini", "Aads.example.com\r\n");
  serve("definitions/?settings=");
  EXPECT_EQ(file_bytes("Vellomar.ini"), "");
}

TEST_F(SetupPages, AmpersandEntitySurvivesASaveFromThePage) {
  const std::string file = "Ua.example/?x=1&amp;y=2\r\nF</textarea>\r\n";
  put_file("Vellomar.ini", file);
  const std::string page = serve("definitions/");
  // What a browser submits: the text area's text (entities resolved), with
  // CR LF line ends, form-encoded.
  const std::size_t open = page.find("cols=\"55\">") + 10;
  std::string shown = page.substr(open, page.find("</textarea><br>") - open);
  std::string unescaped;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown.compare(i, 5, "&amp;") == 0)
      unescaped += '&', i += 4;
    else if (shown.compare(i, 4, "&lt;") == 0)
      unescaped += '<', i += 3;
    else if (shown.compare(i, 4, "&gt;") == 0)
      unescaped += '>', i += 3;
    else
      unescaped += shown[i];
  }
  std::string encoded;
  for (char c : unescaped) {
    if (c == '\n')
      encoded += "%0D%0A";
    else if (std::isalnum(static_cast<unsigned char>(c)))
      encoded += c;
    else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      encoded += hex;
    }
  }
  serve("definitions/?settings=" + encoded);
  EXPECT_EQ(file_bytes("Vellomar.ini"), file);
}

class NotepadButtons : public SetupPages {
 protected:
  // A stand-in notepad in the install directory (looked for there first)
  // that records its arguments.
  void SetUp() override {
    SetupPages::SetUp();
    const std::filesystem::path script = install_dir() / "notepad";
    std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> \"" << (install_dir() / "started").string()
                          << "\"\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    put_file("Vellomar.ini", "Aold\r\n");
  }
  // The stand-in runs on its own: wait (up to 10 s) until its line is whole,
  // since the shell creates the file before it writes to it.
  std::string started() {
    for (int i = 0; i < 1000; ++i) {
      std::string bytes = file_bytes("started");
      if (bytes != "<missing>" && !bytes.empty() && bytes.back() == '\n') return bytes;
      usleep(10000);
    }
    return file_bytes("started");
  }
};

TEST_F(NotepadButtons, HelpOpensTheHelpFileAndSavesNothing) {
  serve("definitions/?settings=abc&help=Help");
  EXPECT_EQ(started(), "vellomar.hlp\n");
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Aold\r\n");
}

TEST_F(NotepadButtons, NotePadOpensTheDefinitionsFile) {
  serve("definitions/?settings=abc&notepad=NotePad");
  EXPECT_EQ(started(), "Vellomar.ini\n");
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Aold\r\n");
}

TEST_F(NotepadButtons, AnyOtherButtonDoesNothing) {
  serve("definitions/?settings=abc&x=y");
  usleep(100000);
  EXPECT_EQ(file_bytes("started"), "<missing>");
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Aold\r\n");
}

// ---- the Proxy Server form ------------------------------------------------------

TEST_F(SetupPages, ProxySubmissionStoresAndApplies) {
  const std::string page = page_of(serve("proxy/?host=127.0.0.1&port=3128"));
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_STREQ(stored.host, "127.0.0.1");
  EXPECT_EQ(stored.port, 3128);
  const UpstreamProxy in_use = current_upstream_proxy();
  EXPECT_EQ(in_use.address, inet_addr("127.0.0.1"));
  EXPECT_EQ(in_use.port, 3128);
  EXPECT_EQ(page, framed(NAV_PROXY, proxy_content("", "127.0.0.1", "3128"),
                         "document.mainForm.host.focus()"));
}

TEST_F(SetupPages, EmptyProxySubmissionClearsIt) {
  serve("proxy/?host=127.0.0.1&port=3128");
  const std::string page = page_of(serve("proxy/?host=&port="));
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_STREQ(stored.host, "");
  EXPECT_EQ(stored.port, 0);
  EXPECT_FALSE(current_upstream_proxy().in_use());
  EXPECT_NE(page.find(proxy_content("", "", "0")), std::string::npos);
}

TEST_F(SetupPages, ProxyPortKeepsItsLow16Bits) {
  const std::string page = page_of(serve("proxy/?host=127.0.0.1&port=69538"));
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_EQ(stored.port, 69538);
  EXPECT_NE(page.find(proxy_content("", "127.0.0.1", "4002")), std::string::npos);
}

TEST_F(SetupPages, HostOnlyStoresNothing) {
  write_proxy_setting("127.0.0.2", 8080);
  const std::string page = page_of(serve("proxy/?host=gate"));
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_STREQ(stored.host, "127.0.0.2");
  EXPECT_NE(page.find(proxy_content("", "127.0.0.2", "8080")), std::string::npos);
}

TEST_F(SetupPages, StoredHostWithMarkupIsEscaped) {
  write_proxy_setting("a\"><b>&", 0);
  const std::string page = page_of(serve("proxy/"));
  EXPECT_NE(page.find(proxy_content("", "a&quot;&gt;&lt;b&gt;&amp;", "0")), std::string::npos);
}

TEST_F(SetupPages, UnresolvableHostGivesTheMessage) {
  const std::string page = page_of(serve("proxy/?host=no-such-host.invalid&port=8080"));
  EXPECT_FALSE(current_upstream_proxy().in_use());
  EXPECT_NE(page.find(proxy_content(std::string(PROXY_NOT_FOUND_MESSAGE), "no-such-host.invalid",
                                    "8080")),
            std::string::npos);
  EXPECT_NE(page.find("<font face=\"verdana,arial\" size=\"2\"><br><font color=\"#FF0000\">"
                      "<center>Proxy Address could not be found. Proxy not enabled!</font>"
                      "</center><br>\r\nHost:"),
            std::string::npos);
}

TEST_F(SetupPages, WithoutAStoredSettingTheOneInUseStays) {
  select_upstream_proxy("127.0.0.1", 3128);
  for (int visit = 0; visit < 3; ++visit) {
    const std::string page = page_of(serve("proxy/"));
    EXPECT_NE(page.find(proxy_content("", "127.0.0.1", "3128")), std::string::npos);
  }
  EXPECT_EQ(current_upstream_proxy().address, inet_addr("127.0.0.1"));
}

TEST_F(SetupPages, CrossSiteProxyRequestChangesNothing) {
  write_proxy_setting("127.0.0.2", 8080);
  for (const char* headers : {"Sec-Fetch-Site: cross-site\r\n", "Origin: http://evil.example\r\n",
                              "Referer: http://evil.example/x\r\n"}) {
    const std::string page = page_of(serve("proxy/?host=x&port=1", headers));
    StoredProxySetting stored{};
    ASSERT_TRUE(read_proxy_setting(&stored));
    EXPECT_STREQ(stored.host, "127.0.0.2") << headers;
    EXPECT_EQ(stored.port, 8080) << headers;
    EXPECT_NE(page.find(proxy_content("", "127.0.0.2", "8080")), std::string::npos) << headers;
  }
}

TEST_F(SetupPages, SameOriginProxyRequestActs) {
  serve("proxy/?host=127.0.0.3&port=1",
        "Host: 127.0.0.1:8000\r\nOrigin: http://127.0.0.1:8000\r\nSec-Fetch-Site: "
        "same-origin\r\nReferer: http://127.0.0.1:8000/proxy/\r\n");
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_STREQ(stored.host, "127.0.0.3");
}

TEST_F(SetupPages, ReloadMarksTheProxyNotInUseWhenTheFileNamesNone) {
  put_file("Vellomar.ini", "Aads.example.com\r\n");
  write_proxy_setting("127.0.0.1", 3128);
  serve("proxy/");
  ASSERT_TRUE(current_upstream_proxy().in_use());
  serve("definitions/?settings=abc&reload=Reload");
  EXPECT_FALSE(current_upstream_proxy().in_use());
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Aads.example.com\r\n");
  // The next showing of the Proxy Server page brings the stored proxy back.
  serve("proxy/");
  EXPECT_EQ(current_upstream_proxy().address, inet_addr("127.0.0.1"));
}

TEST_F(SetupPages, ReloadOnAMachineWithoutAProxyKeyShowsNoPort) {
  put_file("Vellomar.ini", "Aads.example.com\r\n");
  serve("definitions/?settings=abc&reload=Reload");
  const std::string page = page_of(serve("proxy/"));
  EXPECT_NE(page.find(proxy_content("", "", "0")), std::string::npos);
  EXPECT_FALSE(current_upstream_proxy().in_use());
}

TEST_F(SetupPages, ReloadThenVisitWithoutAProxyKeyKeepsTheProxyOff) {
  select_upstream_proxy("127.0.0.1", 3128);
  put_file("Vellomar.ini", "Aads.example.com\r\n");
  serve("definitions/?settings=abc&reload=Reload");
  const std::string page = page_of(serve("proxy/"));
  EXPECT_FALSE(current_upstream_proxy().in_use());
  EXPECT_NE(page.find(proxy_content("", "127.0.0.1", "0")), std::string::npos);
}

}  // namespace
