// A real browser through the proxy: headless chromium loads a page from a
// local origin whose images come from a host that a rule blocks. The proxy
// answers that host itself (it is never resolved), so the images arrive as the
// 8 by 8 transparent GIF, while the page's own content arrives whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/proxy/proxy_harness.h"
#include "tests/support/headless_chromium.h"

using namespace e2e;
using vmtest::CHROMIUM;

namespace {

TEST(Chromium, BrowsesALocalSiteWithItsAdsReplaced) {
  if (access(CHROMIUM, X_OK) != 0) GTEST_SKIP() << "chromium is not installed";

  // The page's own content: long enough to come in many pieces.
  std::string paragraphs;
  for (int i = 0; i < 2000; ++i) {
    paragraphs +=
        "<p class=\"own\">Paragraph " + std::to_string(i) + " of the page's own text.</p>\n";
  }
  const std::string page =
      "<!DOCTYPE html><html><head><title>Local site</title></head><body>\n"
      "<h1>A local site</h1>\n"
      "<img id=\"ad1\" src=\"http://ads.blocked.test/banner1.gif\">\n"
      "<img id=\"ad2\" src=\"http://ads.blocked.test/sky/scraper.gif?x=1\">\n" +
      paragraphs +
      "<div id=\"result\">pending</div>\n"
      "<script>\n"
      "window.addEventListener('load', function () {\n"
      "  var sizes = [];\n"
      "  document.querySelectorAll('img').forEach(function (img) {\n"
      "    sizes.push(img.id + '=' + img.naturalWidth + 'x' + img.naturalHeight);\n"
      "  });\n"
      "  document.getElementById('result').textContent =\n"
      "      sizes.join(',') + ';own=' + document.querySelectorAll('p.own').length;\n"
      "});\n"
      "</script>\n"
      "</body></html>\n";
  OriginServer origin([&](const std::string&) { return OriginServer::reply(page, "text/html"); });

  ProxyMachine machine;
  machine.write_definitions("Aads.blocked.test\n");
  machine.enable_logging();
  ProxyProcess proxy(machine);
  ASSERT_TRUE(proxy.start());

  const std::string profile = (machine.root() / "chromium-profile").string();
  std::filesystem::create_directories(profile);
  const std::string url = "http://127.0.0.1:" + std::to_string(origin.port()) + "/index.html";
  std::vector<std::string> browser = vmtest::chromium_through_vellomar(profile);
  browser.insert(browser.end(), {"--dump-dom", url});
  const std::string dom = vmtest::run_browser(browser, machine.root() / "dom.html");

  ASSERT_FALSE(dom.empty()) << "chromium produced no page";
  EXPECT_NE(dom.find("<div id=\"result\">ad1=8x8,ad2=8x8;own=2000</div>"), std::string::npos)
      << dom.substr(dom.find("<div id=\"result\">") == std::string::npos
                        ? 0
                        : dom.find("<div id=\"result\">"),
                    200);
  EXPECT_NE(dom.find("Paragraph 1999 of the page's own text."), std::string::npos);
  // The page came from the origin through the proxy; the ads never left it.
  EXPECT_GE(origin.requests().size(), 1u);
  for (const ReceivedRequest& request : origin.requests()) {
    EXPECT_EQ(request.bytes.find("ads.blocked.test"), std::string::npos);
  }
  proxy.stop();
  EXPECT_EQ(machine.sanitizer_reports(), "");
  const std::string log = machine.read_log();
  EXPECT_NE(log.find("Blocked Ad: ads.blocked.test/banner1.gif"), std::string::npos);
  EXPECT_NE(log.find("Blocked Ad: ads.blocked.test/sky/scraper.gif?x=1"), std::string::npos);
}

}  // namespace
