// A real browser through HTTPS inspection: headless Chromium, whose shared
// NSS database got Vellomar's authority from `vmhttps trust`, loads an HTTPS
// page from a local TLS origin through 127.0.0.1:8000. Vellomar trusts the
// origin's test authority only through VELLOMAR_EXTRA_CA_FILE. Inside the
// page an "F" rule blocks an image (the 8 by 8 GIF arrives instead) and an
// "O" rule neutralises the page's window.open; a screenshot is kept under
// build/tests/artifacts/https/.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/proxy/proxy_harness.h"

extern char** environ;

using namespace e2e;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr char CHROMIUM[] = "/usr/bin/chromium";
constexpr auto BROWSER_TIMEOUT = 90s;
const std::string BIN = VELLOMAR_BIN_DIR;

int run(const std::string& command) {
  return std::system(command.c_str());
}

// Starts `argv` with its standard output and error in `out`; -1 when it
// cannot start.
pid_t spawn(const std::vector<std::string>& arguments, const fs::path& out) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  return spawned == 0 ? pid : -1;
}

// Waits up to `patience` for `pid` to end, then kills it.
void finish(pid_t pid, std::chrono::seconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (waitpid(pid, nullptr, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(50ms);
  }
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
  if (access(CHROMIUM, X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  if (run("command -v certutil >/dev/null && command -v openssl >/dev/null && "
          "command -v convert >/dev/null") != 0) {
    GTEST_SKIP() << "certutil (libnss3-tools), openssl or convert (imagemagick) is missing";
  }
  ProxyMachine machine;
  // The origin's test authority, its certificate for 127.0.0.1, and its
  // files: the page and two 16 by 16 images. openssl's own server serves
  // them over TLS on 127.0.0.1:443 of the test's network.
  const fs::path www = machine.root() / "www";
  fs::create_directories(www / "ads");
  vmtest::write_file(www / "index.html", PAGE);
  ASSERT_EQ(run("cd '" + www.string() +
                "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                "-days 2 -subj '/CN=Origin test authority' -keyout ../ca.key -out ../ca.crt "
                "-addext basicConstraints=critical,CA:TRUE 2>/dev/null && "
                "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "
                "/CN=127.0.0.1 -keyout ../origin.key -out ../origin.csr 2>/dev/null && "
                "printf 'subjectAltName=IP:127.0.0.1\\n' >../ext && openssl x509 -req -in "
                "../origin.csr -CA ../ca.crt -CAkey ../ca.key -CAcreateserial -days 2 "
                "-extfile ../ext -out ../origin.crt 2>/dev/null && "
                "convert -size 16x16 xc:red gif:own.gif && cp own.gif ads/banner.gif"),
            0);
  const pid_t origin = spawn({"sh", "-c",
                              "cd '" + www.string() +
                                  "' && exec openssl s_server -quiet -accept 127.0.0.1:443 "
                                  "-cert ../origin.crt -key ../origin.key -WWW"},
                             machine.root() / "origin.txt");
  ASSERT_GT(origin, 0);

  machine.write_definitions("F</ads/\nO127.0.0.1\n");
  machine.enable_logging();
  // The authority, switched on and trusted in the shared NSS database of the
  // machine's home (HOME is the machine folder), as a user would.
  ASSERT_EQ(run("'" + BIN + "/vmhttps' on 2>/dev/null"), 0);
  ASSERT_EQ(run("'" + BIN + "/vmhttps' trust 2>/dev/null"), 0);
  setenv("VELLOMAR_EXTRA_CA_FILE", (machine.root() / "ca.crt").c_str(), 1);
  ProxyProcess proxy(machine);
  const bool started = proxy.start();
  unsetenv("VELLOMAR_EXTRA_CA_FILE");
  ASSERT_TRUE(started);

  const std::vector<std::string> browser = {
      CHROMIUM,
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--proxy-server=http://127.0.0.1:8000",
      "--proxy-bypass-list=<-loopback>",
      "--user-data-dir=" + (machine.root() / "chromium").string()};
  std::vector<std::string> dump = browser;
  dump.insert(dump.end(), {"--dump-dom", "https://127.0.0.1/index.html"});
  finish(spawn(dump, machine.root() / "dom.html"), BROWSER_TIMEOUT);
  const std::string dom = vmtest::read_file(machine.root() / "dom.html");
  ASSERT_FALSE(dom.empty()) << "chromium produced no page";
  EXPECT_NE(dom.find("<div id=\"result\">own=16x16,ad=8x8</div>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<div id=\"popup\">neutralised</div>"), std::string::npos) << dom;

  const fs::path artifacts = fs::path(BIN).parent_path() / "tests/artifacts/https";
  fs::create_directories(artifacts);
  std::vector<std::string> shot = browser;
  shot.insert(shot.end(), {"--window-size=800,300",
                           "--screenshot=" + (artifacts / "inspected_page.png").string(),
                           "https://127.0.0.1/index.html"});
  finish(spawn(shot, machine.root() / "shot.txt"), BROWSER_TIMEOUT);
  EXPECT_TRUE(fs::exists(artifacts / "inspected_page.png"));

  proxy.stop();
  kill(origin, SIGTERM);
  finish(origin, 5s);
  EXPECT_EQ(machine.sanitizer_reports(), "");
  const std::string log = machine.read_log();
  EXPECT_NE(log.find("Blocked Ad: https://127.0.0.1/ads/banner.gif"), std::string::npos) << log;
  EXPECT_NE(log.find("Blocked Popup: 127.0.0.1"), std::string::npos);
}

}  // namespace
