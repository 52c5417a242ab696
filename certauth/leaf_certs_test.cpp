#include "certauth/leaf_certs.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/machine.h"

namespace {

class LeafCertsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(certauth::create_authority(&error)) << error;
    authority_ = certauth::load_authority(&error);
    ASSERT_TRUE(authority_) << error;
  }

  // Verifies `leaf` for `host` the way a browser trusting only the authority would.
  int verify(const certauth::Leaf& leaf, const std::string& host, bool address) const {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, authority_->certificate.get());
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, leaf.certificate.get(), nullptr);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (address) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
    X509_verify_cert(context);
    const int result = X509_STORE_CTX_get_error(context);
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
    return result;
  }

  vmtest::Machine machine_{"leafcerts"};
  std::shared_ptr<const certauth::LoadedAuthority> authority_;
};

struct HostCase {
  const char* host;
  bool certifiable;
  bool address;
};

class CertifiableHostTest : public LeafCertsTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(CertifiableHostTest, MintsOnlyForNamesAndAddressesThatVerify) {
  certauth::LeafCache cache(authority_);
  EXPECT_EQ(certauth::certifiable_host(GetParam().host), GetParam().certifiable);
  const auto leaf = cache.leaf_for(GetParam().host);
  ASSERT_EQ(leaf != nullptr, GetParam().certifiable);
  if (leaf) {
    EXPECT_EQ(verify(*leaf, GetParam().host, GetParam().address), X509_V_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, CertifiableHostTest,
    ::testing::Values(HostCase{"www.example.com", true, false},
                      HostCase{"WWW.Example.COM", true, false}, HostCase{"a_b.test", true, false},
                      HostCase{"192.0.2.7", true, true}, HostCase{"2001:db8::1", true, true},
                      HostCase{"", false, false}, HostCase{"a..b", false, false},
                      HostCase{"example.com.", false, false},
                      HostCase{".example.com", false, false}, HostCase{"bad host", false, false},
                      HostCase{"x/y", false, false}, HostCase{"[::1]", false, false},
                      HostCase{"*.example.com", false, false}));

TEST_F(LeafCertsTest, LeafDoesNotCoverOtherHostsAndIsShortLived) {
  certauth::LeafCache cache(authority_);
  const auto leaf = cache.leaf_for("shop.example.com");
  ASSERT_TRUE(leaf);
  EXPECT_EQ(verify(*leaf, "example.com", false), X509_V_ERR_HOSTNAME_MISMATCH);
  EXPECT_EQ(verify(*leaf, "evil.shop.example.com", false), X509_V_ERR_HOSTNAME_MISMATCH);
  // Valid from a little before now, for at most the stated time.
  const time_t now = time(nullptr);
  time_t later = now + 60;
  EXPECT_LT(X509_cmp_time(X509_get0_notBefore(leaf->certificate.get()), &later), 0);
  later = now + certauth::LEAF_VALIDITY_HOURS * 3600L + 60;
  EXPECT_LT(X509_cmp_time(X509_get0_notAfter(leaf->certificate.get()), &later), 0);
  EXPECT_EQ(X509_check_ca(leaf->certificate.get()), 0);
}

TEST_F(LeafCertsTest, CacheIsBoundedAndKeyedByAuthority) {
  certauth::LeafCache cache(authority_);
  const auto first = cache.leaf_for("host0.test");
  EXPECT_EQ(cache.leaf_for("HOST0.test"), first);
  for (std::size_t i = 1; i <= certauth::LEAF_CACHE_CAPACITY; ++i) {
    cache.leaf_for("host" + std::to_string(i) + ".test");
  }
  EXPECT_EQ(cache.size(), certauth::LEAF_CACHE_CAPACITY);
  EXPECT_NE(cache.leaf_for("host0.test"), first);  // the oldest was dropped

  // A new authority: its cache serves nothing the old one signed.
  std::string error;
  ASSERT_TRUE(certauth::delete_authority(&error));
  ASSERT_TRUE(certauth::create_authority(&error));
  const auto renewed = certauth::load_authority(&error);
  ASSERT_TRUE(renewed);
  certauth::LeafCache new_cache(renewed);
  authority_ = renewed;
  EXPECT_EQ(verify(*new_cache.leaf_for("host0.test"), "host0.test", false), X509_V_OK);
  EXPECT_NE(verify(*first, "host0.test", false), X509_V_OK);
}

TEST_F(LeafCertsTest, ManyThreadsShareOneCache) {
  certauth::LeafCache cache(authority_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 40; ++i) {
        const std::string host = "h" + std::to_string((i + t) % 20) + ".test";
        const auto leaf = cache.leaf_for(host);
        ASSERT_TRUE(leaf);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(cache.size(), 20u);
}

}  // namespace
