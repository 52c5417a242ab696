// Adding and updating lists from a web server started by the test (plain
// HTTP and HTTPS with a test CA): conditional downloads, redirects, and on
// every failure the old list kept byte for byte with the reason given.
#include "adlists/list_update.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "settings/registry_settings.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The test's web server (adlists/testdata/list_server.py) on a free port.
class ListServer {
 public:
  explicit ListServer(const std::string& tls_args = "") {
    std::string command =
        "exec python3 " VELLOMAR_SOURCE_DIR "/adlists/testdata/list_server.py " + tls_args;
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char line[32] = "";
    FILE* from = fdopen(out[0], "r");
    if (from != nullptr && std::fgets(line, sizeof line, from) != nullptr) port_ = std::atoi(line);
    if (from != nullptr) std::fclose(from);
  }
  ~ListServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

class ListUpdate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new ListServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_GT(server_->port(), 0) << "the test's web server did not start (python3)";
    char pattern[] = "/tmp/vm_lists_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    prefix_ = pattern;
    setenv("VELLOMAR_PREFIX", prefix_.c_str(), 1);
    std::string install = prefix_ + "/drive_c/Program Files/Vellomar";
    fs::create_directories(install);
    old_cwd_ = fs::current_path();
    fs::current_path(install);
    options_.timeout_seconds = 1;
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    fs::remove_all(prefix_);
  }
  std::string url(const std::string& path, const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(server_->port()) + path;
  }

  static ListServer* server_;
  std::string prefix_;
  fs::path old_cwd_;
  adlists::SourceOptions options_;
};

ListServer* ListUpdate::server_ = nullptr;

TEST_F(ListUpdate, AddsThenAsksConditionallyThenFollowsARedirect) {
  adlists::ListChange added = adlists::add_list(url("/list.txt"), "", options_, 1000);
  ASSERT_TRUE(added.ok) << added.message;
  auto info = adlists::read_list_info("list");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->etag, "\"v1\"");
  EXPECT_EQ(info->exact, 50u);
  EXPECT_EQ(info->title, "Test list");

  adlists::ListChange again = adlists::update_list(*info, options_, 2000);
  EXPECT_TRUE(again.ok) << again.message;
  EXPECT_FALSE(again.changed);
  EXPECT_EQ(adlists::read_list_info("list")->converted_at, 2000);  // checked, not changed

  info->source = url("/redirect.txt");
  adlists::ListChange moved = adlists::update_list(*info, options_, 3000);
  EXPECT_TRUE(moved.changed) << moved.message;
  EXPECT_NE(read_file("Lists/list.ini").find("Afresh.example\n"), std::string::npos);
  EXPECT_EQ(adlists::read_list_info("list")->etag, "\"v2\"");
}

struct Failure {
  const char* path;
  const char* reason;
};

class ListUpdateFailure : public ListUpdate, public ::testing::WithParamInterface<Failure> {};

TEST_P(ListUpdateFailure, KeepsTheOldList) {
  ASSERT_TRUE(adlists::add_list(url("/list.txt"), "kept", options_, 1000).ok);
  std::string before = read_file("Lists/kept.ini");
  auto info = adlists::read_list_info("kept");
  info->source = url(GetParam().path);
  info->etag.clear();
  adlists::ListChange change = adlists::update_list(*info, options_, 2000);
  EXPECT_FALSE(change.ok);
  EXPECT_NE(change.message.find(GetParam().reason), std::string::npos) << change.message;
  EXPECT_EQ(read_file("Lists/kept.ini"), before);
  // A failed add changes nothing either.
  EXPECT_FALSE(adlists::add_list(url(GetParam().path), "other", options_, 1000).ok);
  EXPECT_FALSE(fs::exists("Lists/other.ini"));
}

INSTANTIATE_TEST_SUITE_P(Cases, ListUpdateFailure,
                         ::testing::Values(Failure{"/missing.txt", "status 404"},
                                           Failure{"/truncated.txt", "download failed"},
                                           Failure{"/stall.txt", "did not answer in time"},
                                           Failure{"/huge.txt", "larger than the limit"},
                                           Failure{"/page.html", "HTML page"}));

TEST_F(ListUpdate, AListShrunkToAlmostNothingIsRefused) {
  ASSERT_TRUE(adlists::add_list(url("/list.txt"), "big", options_, 1000).ok);
  auto info = adlists::read_list_info("big");
  info->source = url("/tiny.txt");
  adlists::ListChange change = adlists::update_list(*info, options_, 2000);
  EXPECT_FALSE(change.ok);
  EXPECT_NE(change.message.find("only 2 lines against 100"), std::string::npos) << change.message;
}

TEST_F(ListUpdate, DownloadsGoThroughTheUpstreamProxySetting) {
  write_proxy_setting("127.0.0.1", 1);  // nothing listens there
  adlists::ListChange change = adlists::add_list(url("/list.txt"), "", options_, 1000);
  write_proxy_setting("", 0);
  EXPECT_FALSE(change.ok);
  EXPECT_NE(change.message.find("download failed"), std::string::npos) << change.message;
}

TEST_F(ListUpdate, HttpsIsVerifiedAgainstTheTrustedCertificates) {
  std::string dir = prefix_ + "/tls";
  fs::create_directories(dir);
  std::string make =
      "cd '" + dir +
      "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
      "-keyout ca.key -out ca.pem -days 2 -subj /CN=Test-CA 2>/dev/null && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout srv.key "
      "-out srv.csr -subj /CN=127.0.0.1 2>/dev/null && printf 'subjectAltName=IP:127.0.0.1\\n' "
      ">ext && openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out "
      "srv.pem -days 2 -extfile ext 2>/dev/null";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "openssl could not make a test CA";
  ListServer tls("--cert " + dir + "/srv.pem --key " + dir + "/srv.key");
  ASSERT_GT(tls.port(), 0);
  std::string address = "https://127.0.0.1:" + std::to_string(tls.port()) + "/list.txt";
  adlists::ListChange untrusted = adlists::add_list(address, "", options_, 1000);
  EXPECT_FALSE(untrusted.ok);
  EXPECT_NE(untrusted.message.find("certificate"), std::string::npos) << untrusted.message;
  options_.ca_file = dir + "/ca.pem";
  adlists::ListChange trusted = adlists::add_list(address, "", options_, 1000);
  EXPECT_TRUE(trusted.ok) << trusted.message;
}

}  // namespace
