// Real browsers after the switches: Firefox ESR with a profile it made
// itself, after "vellomar N" and after the remove program; Chromium with no
// proxy flags on a GNOME session (its own D-Bus session bus and dconf), after
// "vellomar I" and after the remove program. Every program runs with a
// throw-away home folder, in the harness's own network.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/proxy/proxy_harness.h"
#include "tests/support/session_bus.h"

extern char** environ;

using namespace e2e;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr char FIREFOX[] = "/usr/bin/firefox-esr";
constexpr char CHROMIUM[] = "/usr/bin/chromium";
constexpr char GSETTINGS[] = "/usr/bin/gsettings";
constexpr char DCONF_SERVICE[] = "/usr/libexec/dconf-service";
constexpr auto PROGRAM_TIMEOUT = 90s;
constexpr char BLOCKED_URL[] = "http://ads.blocked.test/banner.gif";

// Runs a program in `folder` with the process's environment until it ends or
// `done` holds (then it is stopped); its exit status, or -1 when it could not
// start, did not end in time or was stopped. Its standard output in *out.
int run(const std::vector<std::string>& arguments, const std::string& folder,
        std::string* out = nullptr, const std::function<bool()>& done = nullptr) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string out_path = folder + "/.stdout";
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addchdir_np(&files, folder.c_str());
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, (folder + "/.stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  // A group of its own, so that stopping a browser early also stops the
  // processes it started (which would otherwise keep its profile in use).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + PROGRAM_TIMEOUT;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline || (done && done())) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      // Wait until no process of the group is left.
      for (int i = 0; i < 100 && kill(-pid, 0) == 0; ++i) std::this_thread::sleep_for(50ms);
      return -1;
    }
    std::this_thread::sleep_for(50ms);
  }
  if (out != nullptr) *out = vmtest::read_file(out_path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The machine, its running proxy and a home folder of their own for every
// program the test starts.
class DesktopBrowsers : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.make_home();
    home_ = machine_.home().string();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("GSETTINGS_BACKEND");
    machine_.write_definitions("Aads.blocked.test\n");
    machine_.enable_logging();
    // The remove program wants the start-up entry's key.
    HKEY run_key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                    nullptr, 0, KEY_ALL_ACCESS, nullptr, &run_key, nullptr);
    RegCloseKey(run_key);
    setenv("VELLOMAR_MSGBOX_ANSWER", "yes", 1);
  }
  void TearDown() override {
    bus_.reset();
    unsetenv("VELLOMAR_MSGBOX_ANSWER");
  }

  int vellomar(const std::string& command, std::string* out = nullptr) {
    return run({std::string(VELLOMAR_BIN_DIR) + "/vellomar", command},
               machine_.install_dir().string(), out);
  }
  int vmremove() {
    return run({std::string(VELLOMAR_BIN_DIR) + "/vmremove"}, machine_.install_dir().string());
  }

  std::string gsettings_get(const std::string& schema, const std::string& key) {
    std::string out;
    run({GSETTINGS, "get", schema, key}, home_, &out);
    return out;
  }

  ProxyMachine machine_;
  std::string home_;
  std::optional<vmtest::SessionBus> bus_;
};

// ---- Firefox ------------------------------------------------------------------

// Firefox's prefs.js without the proxy preferences Vellomar sets.
std::string other_prefs(const std::string& prefs_js) {
  std::istringstream in(prefs_js);
  std::string line, kept;
  while (std::getline(in, line)) {
    if (line.find("\"network.proxy.") == std::string::npos ||
        line.find("allow_hijacking_localhost") != std::string::npos) {
      kept += line + "\n";
    }
  }
  return kept;
}

TEST_F(DesktopBrowsers, FirefoxProfileFollowsNetscapeSwitch) {
  if (access(FIREFOX, X_OK) != 0) GTEST_SKIP() << "firefox-esr is not installed";
  ASSERT_EQ(run({FIREFOX, "--headless", "-CreateProfile", "vmtest"}, home_), 0);
  fs::path profile;
  for (const char* layout : {"/.config/mozilla/firefox", "/.mozilla/firefox"}) {
    if (!fs::exists(home_ + layout)) continue;
    for (const auto& entry : fs::directory_iterator(home_ + layout)) {
      if (entry.path().filename().string().ends_with(".vmtest")) profile = entry.path();
    }
  }
  ASSERT_FALSE(profile.empty()) << "firefox made no profile";
  // The user's own lines; the first lets a loopback origin go through a proxy.
  const std::string users_js =
      "user_pref(\"network.proxy.allow_hijacking_localhost\", true);\n"
      "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n";
  std::ofstream(profile / "user.js", std::ios::binary) << users_js;
  // Firefox is stopped as soon as what the test waits for has happened.
  auto load = [&](const std::string& url, const std::function<bool()>& done = nullptr) {
    return run({FIREFOX, "--headless", "--profile", profile.string(), "--screenshot",
                home_ + "/shot.png", url},
               home_, nullptr, done);
  };
  // A blank page, for the prefs.js Firefox writes as it ends. On a loaded
  // machine a Firefox started right after one that was stopped early now and
  // then gives up at start (status 11); it is given two more tries.
  auto load_blank = [&] {
    int status = load("about:blank");
    for (int tries = 1; tries < 3 && status != 0; ++tries) {
      std::this_thread::sleep_for(2s);
      status = load("about:blank");
    }
    return status;
  };
  ASSERT_EQ(load_blank(), 0) << vmtest::read_file(home_ + "/.stderr");

  ProxyProcess proxy(machine_);
  ASSERT_TRUE(proxy.start());
  std::string said;
  ASSERT_EQ(vellomar("N", &said), 0);
  EXPECT_NE(said.find("Firefox reads the new proxy setting when it next starts"), std::string::npos)
      << said;
  auto blocked = [&] {
    return machine_.read_log().find("Blocked Ad: ads.blocked.test/banner.gif") != std::string::npos;
  };
  load(BLOCKED_URL, blocked);
  EXPECT_TRUE(blocked()) << machine_.read_log();
  proxy.stop();
  // Firefox wrote its prefs.js when it ended; wait for a clean one.
  ASSERT_EQ(load_blank(), 0) << vmtest::read_file(home_ + "/.stderr");

  // Firefox keeps the proxied type in its own prefs.js: removing the block
  // alone would not take it back.
  const std::string prefs_before_remove = vmtest::read_file(profile / "prefs.js");
  EXPECT_NE(prefs_before_remove.find("user_pref(\"network.proxy.type\", 1);"), std::string::npos);
  ASSERT_EQ(vmremove(), 0);
  EXPECT_EQ(vmtest::read_file(profile / "user.js"), users_js);
  EXPECT_EQ(other_prefs(vmtest::read_file(profile / "prefs.js")), other_prefs(prefs_before_remove));
  // With the proxy gone, the page only arrives when Firefox goes direct.
  OriginServer origin(
      [](const std::string&) { return OriginServer::reply("<p>direct</p>", "text/html"); });
  // Firefox is given three tries, as for the blank page above: one that gives
  // up at start asks nothing, and one going through the stopped proxy never
  // reaches the origin however often it is started.
  for (int tries = 0; tries < 3 && origin.requests().empty(); ++tries) {
    load("http://127.0.0.1:" + std::to_string(origin.port()) + "/direct.html",
         [&] { return !origin.requests().empty(); });
  }
  EXPECT_EQ(origin.requests().size(), 1u) << vmtest::read_file(home_ + "/.stderr");
}

// ---- Chromium on GNOME ----------------------------------------------------------

bool received_naming(const ForwardingProxy& proxy, const std::string& host) {
  for (const std::string& piece : proxy.received()) {
    if (piece.find(host) != std::string::npos) return true;
  }
  return false;
}

TEST_F(DesktopBrowsers, ChromiumFollowsTheGnomeProxySetting) {
  for (const char* program : {CHROMIUM, vmtest::DBUS_DAEMON, GSETTINGS, DCONF_SERVICE}) {
    if (access(program, X_OK) != 0) GTEST_SKIP() << program << " is not installed";
  }
  bus_.emplace();
  ASSERT_TRUE(bus_->started());
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  setenv("GSETTINGS_BACKEND", "dconf", 1);
  // The user's own proxy before Vellomar: a forwarding proxy of the test.
  ForwardingProxy users_proxy;
  const std::string port = std::to_string(users_proxy.port());
  ASSERT_EQ(run({GSETTINGS, "set", "org.gnome.system.proxy.http", "host", "127.0.0.1"}, home_), 0);
  ASSERT_EQ(run({GSETTINGS, "set", "org.gnome.system.proxy.http", "port", port}, home_), 0);
  ASSERT_EQ(run({GSETTINGS, "set", "org.gnome.system.proxy", "mode", "manual"}, home_), 0);

  ASSERT_EQ(vellomar("I"), 0);
  EXPECT_EQ(gsettings_get("org.gnome.system.proxy.http", "port"), "8000\n");
  EXPECT_EQ(gsettings_get("org.gnome.system.proxy.https", "host"), "'127.0.0.1'\n");
  // Chromium is stopped as soon as what the test waits for has happened.
  auto browse = [&](const std::string& url, const std::function<bool()>& done) {
    const std::string profile = home_ + "/chromium";
    return run({CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + profile, "--dump-dom", url},
               home_, nullptr, done);
  };
  ProxyProcess proxy(machine_);
  ASSERT_TRUE(proxy.start());  // reads the upstream proxy "vellomar I" stored
  // Chromium may first try the page over HTTPS (a tunnel): either way the
  // proxy answered it.
  auto blocked = [&] {
    return machine_.read_log().find("Blocked Ad: ads.blocked.test") != std::string::npos;
  };
  browse(BLOCKED_URL, blocked);
  EXPECT_TRUE(blocked()) << machine_.read_log();
  // A page that is not blocked goes on to the user's proxy behind Vellomar.
  auto through = [&] { return received_naming(users_proxy, "through.upstream.test"); };
  browse("http://through.upstream.test/page.html", through);
  EXPECT_TRUE(through());
  proxy.stop();

  ASSERT_EQ(vmremove(), 0);
  EXPECT_EQ(gsettings_get("org.gnome.system.proxy", "mode"), "'manual'\n");
  EXPECT_EQ(gsettings_get("org.gnome.system.proxy.http", "port"), port + "\n");
  // Vellomar is stopped: the user's proxy now gets the request straight.
  auto straight = [&] { return received_naming(users_proxy, "straight.test"); };
  browse("http://straight.test/page.html", straight);
  EXPECT_TRUE(straight());
}

}  // namespace
