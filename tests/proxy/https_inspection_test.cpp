// HTTPS inspection end to end: the real vellomar with inspection on, curl
// trusting Vellomar's authority, and TLS origins on port 443 of loopback
// addresses (the test's own network) whose certificates come from a test
// authority that only the proxy trusts, through VELLOMAR_EXTRA_CA_FILE.
#include <openssl/pem.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "certauth/authority.h"
#include "certauth/leaf_certs.h"
#include "proxy/canned_responses.h"
#include "settings/registry_settings.h"
#include "tests/proxy/proxy_harness.h"
#include "tests/support/tls_origin.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr char PAGE[] =
    "<html><script>window.open('ad.html');</script><img src=\"/ads/banner.gif\"></html>";
constexpr char ORIGIN_BANNER[] = "GIF89a origin banner";

// The definitions: an "F" rule on the banner's path, pop-up rules for the
// page's host, and a host rule that blocks every CONNECT to it.
constexpr char RULES[] = "F/ads/banner.gif\nO<localhost\nAblocked.invalid\n";

// What every origin answers: the page at "/", the banner at its path,
// "path <path>" else.
vmtest::OriginReply answer(const std::string& path) {
  if (path == "/") return {"text/html", PAGE};
  if (path == "/ads/banner.gif") return {"text/html", ORIGIN_BANNER};
  return {"text/html", "path " + path};
}

struct CurlResult {
  int status = -1;
  std::string output;
};

// curl through the proxy, trusting only `ca_file`.
CurlResult curl(const std::string& url, const std::string& ca_file, bool through_proxy = true) {
  std::string command = "curl -s -S --max-time 20 --cacert '" + ca_file + "' ";
  if (through_proxy) command += "--proxy http://127.0.0.1:8000 ";
  command += "'" + url + "' 2>&1";
  CurlResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, got);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A copy of `leaf` that expired yesterday, signed again by `authority`.
X509* expired_copy(const certauth::Leaf& leaf, const certauth::LoadedAuthority& authority) {
  X509* copy = X509_dup(leaf.certificate.get());
  X509_gmtime_adj(X509_getm_notBefore(copy), -3 * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(copy), -86400L);
  X509_sign(copy, authority.key.get(), EVP_sha256());
  return copy;
}

class HttpsInspectionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // An origin writing to a connection the proxy closed must not end the test.
    signal(SIGPIPE, SIG_IGN);
    machine_ = new ProxyMachine();
    test_ca_ = vmtest::make_test_authority(machine_->root() / "test-ca");
    other_ca_ = vmtest::make_test_authority(machine_->root() / "other-ca");
    ASSERT_TRUE(test_ca_ && other_ca_);
    test_ca_file_ = (machine_->root() / "test-ca.pem").string();
    vmtest::write_pem(test_ca_file_, test_ca_->certificate.get());
    setenv("VELLOMAR_EXTRA_CA_FILE", test_ca_file_.c_str(), 1);

    certauth::LeafCache test_leaves(test_ca_), other_leaves(other_ca_);
    good_ = test_leaves.mint("localhost");
    auto expired = test_leaves.mint("127.0.0.2");
    expired_certificate_ = expired_copy(*expired, *test_ca_);
    auto unknown = other_leaves.mint("127.0.0.3");
    auto wrong_host = test_leaves.mint("other.invalid");
    auto passed = test_leaves.mint("127.0.0.6");
    auto asking = test_leaves.mint("127.0.0.7");
    EVP_PKEY* key = good_->key.get();
    const auto serve = [](const char* address, X509* certificate, EVP_PKEY* with_key,
                          bool ask_for_certificate = false) {
      origins_.push_back(std::make_unique<vmtest::TlsOrigin>(address, certificate, with_key, answer,
                                                             ask_for_certificate));
    };
    serve("127.0.0.1", good_->certificate.get(), key);
    serve("127.0.0.2", expired_certificate_, key);
    serve("127.0.0.3", unknown->certificate.get(), unknown->key.get());
    serve("127.0.0.4", other_ca_->certificate.get(), other_ca_->key.get());
    serve("127.0.0.5", wrong_host->certificate.get(), key);
    serve("127.0.0.6", passed->certificate.get(), key);
    serve("127.0.0.7", asking->certificate.get(), key, true);
    kept_leaves_ = {expired, unknown, wrong_host, passed, asking};

    std::string error;
    ASSERT_TRUE(certauth::create_authority(&error)) << error;
    vellomar_ca_file_ = certauth::authority_certificate_path();
    ASSERT_TRUE(set_https_inspection_enabled(true));
    std::ofstream(machine_->install_dir() / "passthrough.txt") << "# banks\n127.0.0.6\n";
    machine_->write_definitions(RULES);
    machine_->enable_logging();
    proxy_ = new ProxyProcess(*machine_);
    ASSERT_TRUE(proxy_->start()) << "vellomar did not start listening on port 8000";
  }
  static void TearDownTestSuite() {
    delete proxy_;
    EXPECT_EQ(machine_->sanitizer_reports(), "");
    if (testing::UnitTest::GetInstance()->failed_test_count() > 0) {
      std::printf("vellomar.log:\n%s\n", machine_->read_log().c_str());
    }
    origins_.clear();
    kept_leaves_.clear();
    good_.reset();
    X509_free(expired_certificate_);
    test_ca_.reset();
    other_ca_.reset();
    unsetenv("VELLOMAR_EXTRA_CA_FILE");
    delete machine_;
  }
  void SetUp() override {
    for (const auto& origin : origins_) {
      if (!origin->listening())
        GTEST_SKIP() << "cannot listen on port 443 here (no network "
                        "namespace of the test's own)";
    }
  }

  // Asks the running program to read its definitions and switch again.
  static void reload() {
    Client browser(PROXY_PORT);
    browser.send("GET http://vellomar.reload/ HTTP/1.0\r\n\r\n");
    browser.receive_until_close();
  }

  static inline ProxyMachine* machine_ = nullptr;
  static inline ProxyProcess* proxy_ = nullptr;
  static inline std::shared_ptr<const certauth::LoadedAuthority> test_ca_, other_ca_;
  static inline std::shared_ptr<const certauth::Leaf> good_;
  static inline std::vector<std::shared_ptr<const certauth::Leaf>> kept_leaves_;
  static inline X509* expired_certificate_ = nullptr;
  static inline std::vector<std::unique_ptr<vmtest::TlsOrigin>> origins_;
  static inline std::string test_ca_file_, vellomar_ca_file_;
};

TEST_F(HttpsInspectionTest, PageLoadsWithPopupScriptNeutralised) {
  const CurlResult page = curl("https://localhost/", vellomar_ca_file_);
  ASSERT_EQ(page.status, 0) << page.output;
  EXPECT_EQ(page.output,
            "<html><script>//ndow.open('ad.html');</script><img src=\"/ads/banner.gif\"></html>");
  std::this_thread::sleep_for(100ms);
  EXPECT_NE(machine_->read_log().find("Blocked Popup: localhost"), std::string::npos);
  // Vellomar's authority alone would not do for the origin itself.
  EXPECT_NE(curl("https://localhost/", vellomar_ca_file_, false).status, 0);
}

TEST_F(HttpsInspectionTest, PathRuleBlocksImageWithTheSubstitute) {
  const CurlResult image = curl("https://localhost/ads/banner.gif", vellomar_ca_file_);
  ASSERT_EQ(image.status, 0) << image.output;
  EXPECT_EQ(image.output, std::string(BLOCKED_IMAGE));
  // Other paths on the same host still reach the origin.
  EXPECT_EQ(curl("https://localhost/news", vellomar_ca_file_).output, "path /news");
  for (const std::string& path : origins_[0]->paths()) EXPECT_NE(path, "/ads/banner.gif");
  std::this_thread::sleep_for(100ms);
  EXPECT_NE(machine_->read_log().find("Blocked Ad: https://localhost/ads/banner.gif"),
            std::string::npos);
}

TEST_F(HttpsInspectionTest, HostRuleStillBlocksTheConnect) {
  Client browser(PROXY_PORT);
  browser.send("CONNECT blocked.invalid:443 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(browser.receive_exactly(BLOCKED_TUNNEL_PAGE.size()), BLOCKED_TUNNEL_PAGE);
}

struct BadOrigin {
  const char* host;
  const char* reason;
};

class BadOriginTest : public HttpsInspectionTest, public testing::WithParamInterface<BadOrigin> {};

TEST_P(BadOriginTest, GetsTheErrorPageNotTheContent) {
  const CurlResult page = curl(std::string("https://") + GetParam().host + "/", vellomar_ca_file_);
  EXPECT_EQ(page.status, 0) << page.output;
  EXPECT_NE(
      page.output.find(std::string("Vellomar did not connect to \"") + GetParam().host + "\""),
      std::string::npos)
      << page.output;
  EXPECT_NE(page.output.find(GetParam().reason), std::string::npos) << page.output;
  EXPECT_EQ(page.output.find("window"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Certificates, BadOriginTest,
                         testing::Values(BadOrigin{"127.0.0.2", "certificate has expired"},
                                         BadOrigin{"127.0.0.3",
                                                   "unable to get local issuer certificate"},
                                         BadOrigin{"127.0.0.4", "self-signed certificate"},
                                         BadOrigin{"127.0.0.5", "IP address mismatch"}));

TEST_F(HttpsInspectionTest, PassThroughHostSeesTheOriginsOwnCertificate) {
  const CurlResult listed = curl("https://127.0.0.6/x", test_ca_file_);
  EXPECT_EQ(listed.status, 0) << listed.output;
  EXPECT_EQ(listed.output, "path /x");
}

TEST_F(HttpsInspectionTest, OriginAskingForClientCertificateIsRememberedAndPassedThrough) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const CurlResult page = curl("https://127.0.0.7/y", test_ca_file_);
    EXPECT_EQ(page.status, 0) << page.output;
    EXPECT_EQ(page.output, "path /y");
  }
  std::ifstream remembered(certauth::authority_directory() + "/client-certificate-hosts");
  std::string line;
  EXPECT_TRUE(std::getline(remembered, line));
  EXPECT_EQ(line, "127.0.0.7");
}

TEST_F(HttpsInspectionTest, ThroughTheUpstreamProxyWithAConnectOfItsOwn) {
  ForwardingProxy upstream;
  machine_->write_definitions(std::string(RULES) + "P127.0.0.1:" + std::to_string(upstream.port()) +
                              "\n");
  reload();
  const CurlResult page = curl("https://localhost/", vellomar_ca_file_);
  machine_->write_definitions(RULES);
  reload();
  EXPECT_EQ(page.status, 0) << page.output;
  EXPECT_NE(page.output.find("//ndow.open"), std::string::npos) << page.output;
  ASSERT_TRUE(upstream.wait_received(1));
  // Our own CONNECT, then nothing but TLS.
  EXPECT_EQ(upstream.received()[0].rfind(
                "CONNECT localhost:443 HTTP/1.1\r\nHost: localhost:443\r\n\r\n\x16", 0),
            0u);
}

TEST_F(HttpsInspectionTest, SwitchedOffByReloadTunnelsAsBefore) {
  ASSERT_TRUE(set_https_inspection_enabled(false));
  reload();
  Client browser(PROXY_PORT);
  browser.send("CONNECT localhost:443 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(browser.receive_exactly(TUNNEL_ESTABLISHED.size()), TUNNEL_ESTABLISHED);
  const CurlResult direct = curl("https://localhost/z", test_ca_file_);
  EXPECT_EQ(direct.status, 0) << direct.output;
  EXPECT_EQ(direct.output, "path /z");
  ASSERT_TRUE(set_https_inspection_enabled(true));
  reload();
  EXPECT_NE(curl("https://localhost/z", test_ca_file_).status, 0);
}

}  // namespace
