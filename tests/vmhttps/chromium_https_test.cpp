// A real browser through HTTPS inspection: headless Chromium, whose shared
// NSS database got Vellomar's authority from `vmhttps trust`, loads an HTTPS
// page from a local TLS origin through 127.0.0.1:8000. Vellomar trusts the
// origin's test authority only through VELLOMAR_EXTRA_CA_FILE. Inside the
// page an "F" rule blocks an image (the 8 by 8 GIF arrives instead) and an
// "O" rule neutralises the page's window.open. The page is checked twice:
// in the DOM Chromium built, and in a screenshot (kept under
// build/tests/artifacts/https/), whose pixels must show the page itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "certauth/leaf_certs.h"
#include "tests/proxy/proxy_harness.h"
#include "tests/support/headless_chromium.h"
#include "tests/support/tls_origin.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

const std::string BIN = VELLOMAR_BIN_DIR;

int run(const std::string& command) {
  return std::system(command.c_str());
}

// How many pixels of the image at `path` are pure red (0 when none or when
// the image cannot be read).
long red_pixels(const fs::path& path) {
  const std::string histogram = vmtest::command_output("convert '" + path.string() +
                                                       "' -format %c histogram:info:- 2>/dev/null");
  const std::size_t red = histogram.find("#FF0000");
  if (red == std::string::npos) return 0;
  const std::size_t line = histogram.rfind('\n', red);
  return std::atol(histogram.c_str() + (line == std::string::npos ? 0 : line + 1));
}

constexpr char PAGE[] =
    "<!DOCTYPE html><html><head><title>Inspected</title></head><body>\n"
    "<h1>An HTTPS page through Vellomar</h1>\n"
    "<img id=\"own\" src=\"/own.gif\"> <img id=\"ad\" src=\"/ads/banner.gif\">\n"
    "<div id=\"popup\">neutralised</div>\n"
    "<script>\n"
    "window.open('about:blank'); document.getElementById('popup').textContent = 'ran';\n"
    "</script>\n"
    "<div id=\"result\">pending</div>\n"
    "<script>\n"
    "window.addEventListener('load', function () {\n"
    "  var sizes = [];\n"
    "  document.querySelectorAll('img').forEach(function (img) {\n"
    "    sizes.push(img.id + '=' + img.naturalWidth + 'x' + img.naturalHeight);\n"
    "  });\n"
    "  document.getElementById('result').textContent = sizes.join(',');\n"
    "});\n"
    "</script>\n"
    "</body></html>\n";

TEST(ChromiumHttps, InspectedPageHasItsAdImageBlockedAndItsPopUpNeutralised) {
  if (access(vmtest::CHROMIUM, X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  if (run("command -v certutil >/dev/null && command -v convert >/dev/null") != 0) {
    GTEST_SKIP() << "certutil (libnss3-tools) or convert (imagemagick) is missing";
  }
  ProxyMachine machine;
  // The origin: its test authority, its certificate for 127.0.0.1, and its
  // files, the page and two red 16 by 16 images, served over TLS on
  // 127.0.0.1:443 of the test's network, any number of connections at once.
  const auto origin_ca = vmtest::make_test_authority(machine.root() / "origin-ca");
  ASSERT_TRUE(origin_ca);
  const auto origin_leaf = certauth::LeafCache(origin_ca).mint("127.0.0.1");
  ASSERT_TRUE(origin_leaf);
  const fs::path origin_ca_file = machine.root() / "origin-ca.crt";
  vmtest::write_pem(origin_ca_file, origin_ca->certificate.get());
  ASSERT_EQ(run("convert -size 16x16 xc:red 'gif:" + (machine.root() / "red.gif").string() + "'"),
            0);
  const std::string red_gif = vmtest::read_file(machine.root() / "red.gif");
  vmtest::TlsOrigin origin("127.0.0.1", origin_leaf->certificate.get(), origin_leaf->key.get(),
                           [&](const std::string& path) -> vmtest::OriginReply {
                             if (path == "/index.html") return {"text/html", PAGE};
                             if (path == "/own.gif" || path == "/ads/banner.gif") {
                               return {"image/gif", red_gif};
                             }
                             return {"text/plain", "path " + path};
                           });
  if (!origin.listening()) GTEST_SKIP() << "cannot listen on port 443 (no network of its own)";

  machine.write_definitions("F</ads/\nO127.0.0.1\n");
  machine.enable_logging();
  // The authority, switched on and trusted in the shared NSS database of the
  // machine's home (HOME is the machine folder), as a user would.
  ASSERT_EQ(run("'" + BIN + "/vmhttps' on 2>/dev/null"), 0);
  ASSERT_EQ(run("'" + BIN + "/vmhttps' trust 2>/dev/null"), 0);
  setenv("VELLOMAR_EXTRA_CA_FILE", origin_ca_file.c_str(), 1);
  ProxyProcess proxy(machine);
  const bool started = proxy.start();
  unsetenv("VELLOMAR_EXTRA_CA_FILE");
  ASSERT_TRUE(started);

  const std::vector<std::string> browser =
      vmtest::chromium_through_vellomar(machine.root() / "chromium");
  std::vector<std::string> dump = browser;
  dump.insert(dump.end(), {"--dump-dom", "https://127.0.0.1/index.html"});
  const std::string dom = vmtest::run_browser(dump, machine.root() / "dom.html");
  ASSERT_FALSE(dom.empty()) << "chromium produced no page";
  EXPECT_NE(dom.find("<div id=\"result\">own=16x16,ad=8x8</div>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<div id=\"popup\">neutralised</div>"), std::string::npos) << dom;

  // The screenshot shows the page: its own red image (16 by 16 pixels) and
  // no second one, where the transparent substitute stands. An error page
  // or a blank one has no red at all.
  const fs::path artifacts = fs::path(BIN).parent_path() / "tests/artifacts/https";
  fs::create_directories(artifacts);
  const fs::path shot = artifacts / "inspected_page.png";
  fs::remove(shot);
  std::vector<std::string> screenshot = browser;
  screenshot.insert(screenshot.end(), {"--window-size=800,300", "--screenshot=" + shot.string(),
                                       "https://127.0.0.1/index.html"});
  vmtest::run_browser(screenshot, machine.root() / "shot.txt");
  ASSERT_TRUE(fs::exists(shot));
  EXPECT_EQ(red_pixels(shot), 16 * 16) << "see " << shot;

  proxy.stop();
  EXPECT_EQ(machine.sanitizer_reports(), "");
  for (const std::string& path : origin.paths()) EXPECT_NE(path, "/ads/banner.gif");
  const std::string log = machine.read_log();
  EXPECT_NE(log.find("Blocked Ad: https://127.0.0.1/ads/banner.gif"), std::string::npos) << log;
  EXPECT_NE(log.find("Blocked Popup: 127.0.0.1"), std::string::npos);
}

}  // namespace
