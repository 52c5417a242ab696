#include "browsercfg/ca_trust.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "tests/support/machine.h"

using namespace browsercfg;

namespace {

namespace fs = std::filesystem;

using vmtest::command_output;

// A home with one Firefox profile (as profiles.ini names it, never started,
// so without a certificate database) and no ~/.pki yet.
class CaTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (system("command -v certutil >/dev/null && command -v openssl >/dev/null") != 0) {
      GTEST_SKIP() << "certutil (libnss3-tools) or openssl is not installed";
    }
    vmtest::write_file(home() / ".mozilla/firefox/profiles.ini",
                       "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\n"
                       "IsRelative=1\nPath=abcd.default\nDefault=1\n");
    fs::create_directories(profile());
    ours_ = make_certificate("ours", SUBJECT);
  }

  fs::path home() const { return machine_.prefix(); }
  fs::path profile() const { return home() / ".mozilla/firefox/abcd.default"; }
  fs::path shared() const { return home() / ".pki/nssdb"; }

  // A self-signed authority made by the openssl tool; returns its PEM file.
  std::string make_certificate(const std::string& name, const std::string& subject) const {
    const fs::path pem = machine_.root() / (name + ".crt");
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -keyout '" +
        (machine_.root() / (name + ".key")).string() + "' -out '" + pem.string() + "' -subj '" +
        subject + "' -addext basicConstraints=critical,CA:TRUE 2>/dev/null";
    EXPECT_EQ(system(command.c_str()), 0);
    return pem;
  }

  // certutil's own listing: nickname and trust flags, one line each.
  static std::string listing(const fs::path& folder) {
    return command_output("certutil -L -d 'sql:" + folder.string() + "' 2>&1");
  }
  static std::string fingerprints_of(const fs::path& folder, const std::string& nickname) {
    return command_output("certutil -L -d 'sql:" + folder.string() + "' -n '" + nickname +
                          "' 2>&1 | grep -A1 'SHA-256' | tail -n +2");
  }

  static constexpr char SUBJECT[] = "/CN=Vellomar local inspection authority (tester)";
  vmtest::Machine machine_{"ca-trust"};
  std::string ours_;
};

TEST_F(CaTrustTest, TrustAddsToEveryStoreOnceAndUntrustTakesItAllAway) {
  std::string error;
  const std::string fingerprint = certificate_fingerprint(ours_, &error);
  ASSERT_EQ(fingerprint.size(), 95u) << error;

  TrustReport added = trust_authority(ours_);
  ASSERT_TRUE(added.ok()) << added.error;
  ASSERT_EQ(added.stores.size(), 2u);
  for (const StoreResult& store : added.stores) {
    EXPECT_TRUE(store.changed && store.trusted) << store.label << ": " << store.detail;
    const std::string lines = listing(store.folder);
    EXPECT_NE(lines.find(std::string(CA_TRUST_NICKNAME) + " "), std::string::npos) << lines;
    EXPECT_NE(lines.find("C,,"), std::string::npos) << lines;
  }
  EXPECT_EQ(added.stores[0].folder, profile().string());
  EXPECT_EQ(added.stores[1].folder, shared().string());
  // Chromium's database is the user's secret store: only its owner may enter.
  EXPECT_EQ(fs::status(shared()).permissions() & fs::perms::all, fs::perms::owner_all);

  TrustReport again = trust_authority(ours_);
  ASSERT_TRUE(again.ok());
  for (const StoreResult& store : again.stores) EXPECT_FALSE(store.changed) << store.label;

  TrustReport status = authority_trust_status(fingerprint);
  ASSERT_EQ(status.stores.size(), 2u);
  for (const StoreResult& store : status.stores) EXPECT_TRUE(store.trusted) << store.label;

  TrustReport removed = untrust_authority(fingerprint);
  ASSERT_TRUE(removed.ok()) << removed.error;
  for (const StoreResult& store : removed.stores) {
    EXPECT_TRUE(store.changed && !store.trusted) << store.label << ": " << store.detail;
    EXPECT_EQ(listing(store.folder).find(CA_TRUST_NICKNAME), std::string::npos);
  }
  for (const StoreResult& store : authority_trust_status(fingerprint).stores) {
    EXPECT_FALSE(store.trusted) << store.label;
  }
}

// Certificates that are not ours, even with our subject or our nickname,
// are never removed.
struct Foreign {
  const char* name;
  const char* nickname;
  bool trust_succeeds;  // our entry can still be added beside it
};

class ForeignEntry : public CaTrustTest, public ::testing::WithParamInterface<Foreign> {};

TEST_P(ForeignEntry, SurvivesUntrust) {
  const std::string theirs = make_certificate("theirs", SUBJECT);
  std::string error;
  const std::string their_fingerprint = certificate_fingerprint(theirs, &error);
  ASSERT_EQ(system(("certutil -N -d 'sql:" + profile().string() + "' --empty-password").c_str()),
            0);
  ASSERT_EQ(system(("certutil -A -d 'sql:" + profile().string() + "' -n '" + GetParam().nickname +
                    "' -t 'CT,C,C' -i '" + theirs + "'")
                       .c_str()),
            0);

  TrustReport added = trust_authority(ours_);
  ASSERT_EQ(added.stores.size(), 2u);
  EXPECT_EQ(added.stores[0].ok, GetParam().trust_succeeds) << added.stores[0].detail;
  EXPECT_TRUE(added.stores[1].ok);

  TrustReport removed = untrust_authority(certificate_fingerprint(ours_, &error));
  EXPECT_TRUE(removed.ok()) << removed.error;
  EXPECT_NE(fingerprints_of(profile(), GetParam().nickname).find(their_fingerprint),
            std::string::npos);
  EXPECT_NE(listing(profile()).find(std::string(GetParam().nickname) + " "), std::string::npos);
  EXPECT_NE(listing(profile()).find("CT,C,C"), std::string::npos);
  if (std::string(GetParam().nickname) != CA_TRUST_NICKNAME) {
    EXPECT_EQ(listing(profile()).find(CA_TRUST_NICKNAME), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, ForeignEntry,
                         ::testing::Values(Foreign{"SameSubject", "My own authority", true},
                                           Foreign{"OurNickname", CA_TRUST_NICKNAME, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaTrustTest, WithoutCertutilEveryOperationFailsWithAClearReason) {
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path != nullptr ? old_path : "";
  setenv("PATH", machine_.root().c_str(), 1);
  std::string error;
  const std::string fingerprint = certificate_fingerprint(ours_, &error);
  for (const TrustReport& report : {trust_authority(ours_), untrust_authority(fingerprint),
                                    authority_trust_status(fingerprint)}) {
    EXPECT_NE(report.error.find("libnss3-tools"), std::string::npos) << report.error;
    EXPECT_TRUE(report.stores.empty());
  }
  setenv("PATH", saved.c_str(), 1);
  EXPECT_FALSE(fs::exists(shared()));
}

}  // namespace
