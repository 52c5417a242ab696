// A real browser through the proxy: headless chromium loads a page from a
// local origin whose images come from a host that a rule blocks. The proxy
// answers that host itself (it is never resolved), so the images arrive as the
// 8 by 8 transparent GIF, while the page's own content arrives whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/proxy/proxy_harness.h"

extern char** environ;

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr char CHROMIUM[] = "/usr/bin/chromium";
constexpr auto BROWSER_TIMEOUT = 90s;

// Runs chromium with `arguments`; its standard output, or "" when it did not
// finish in time.
std::string run_browser(const std::vector<std::string>& arguments, const std::string& out_path) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, CHROMIUM, &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return "";
  const auto deadline = std::chrono::steady_clock::now() + BROWSER_TIMEOUT;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return "";
    }
    std::this_thread::sleep_for(50ms);
  }
  std::ifstream in(out_path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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
  const std::string dom = run_browser(
      {CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--proxy-server=http://127.0.0.1:8000", "--proxy-bypass-list=<-loopback>",
       "--user-data-dir=" + profile, "--dump-dom", url},
      (machine.root() / "dom.html").string());

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
