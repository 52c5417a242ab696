#include "certauth/authority.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/machine.h"

namespace fs = std::filesystem;

namespace {

unsigned mode_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0xffff;
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class AuthorityTest : public ::testing::Test {
 protected:
  std::string error_;
  vmtest::Machine machine_{"certauth"};
};

TEST_F(AuthorityTest, CreateStatusDelete) {
  EXPECT_FALSE(certauth::authority_status().present);
  ASSERT_TRUE(certauth::create_authority(&error_)) << error_;
  EXPECT_EQ(mode_of(certauth::authority_directory()), 0700u);
  EXPECT_EQ(mode_of(certauth::authority_key_path()), 0600u);
  EXPECT_EQ(mode_of(certauth::authority_certificate_path()), 0644u);
  EXPECT_NE(contents(certauth::authority_key_path()).find("BEGIN PRIVATE KEY"), std::string::npos);

  const certauth::AuthorityStatus status = certauth::authority_status();
  EXPECT_TRUE(status.present);
  EXPECT_TRUE(status.usable) << status.reason;
  EXPECT_EQ(status.sha256_fingerprint.size(), 32u * 3 - 1);
  EXPECT_NE(status.subject.find("Vellomar"), std::string::npos);
  EXPECT_NE(status.not_after.find(" UTC"), std::string::npos);
  auto loaded = certauth::load_authority(&error_);
  ASSERT_TRUE(loaded) << error_;
  EXPECT_EQ(loaded->id, status.sha256_fingerprint);

  // Creating again keeps the authority browsers may already trust.
  ASSERT_TRUE(certauth::create_authority(&error_)) << error_;
  EXPECT_EQ(certauth::authority_status().sha256_fingerprint, status.sha256_fingerprint);

  ASSERT_TRUE(certauth::delete_authority(&error_)) << error_;
  EXPECT_FALSE(fs::exists(certauth::authority_directory()));
  EXPECT_FALSE(certauth::authority_status().present);
  EXPECT_TRUE(certauth::delete_authority(&error_)) << error_;
}

enum class Damage {
  KeyMode0644,
  KeyMode0640,
  KeyFromOtherAuthority,
  KeyMissing,
  KeyIsLink,
  FolderWritableByOthers,
  CertificateGarbage
};

class DamagedAuthorityTest : public AuthorityTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedAuthorityTest, IsNotUsableAndNotReplaced) {
  const std::string key = certauth::authority_key_path();
  ASSERT_TRUE(certauth::create_authority(&error_)) << error_;
  switch (GetParam()) {
    case Damage::KeyMode0644:
      chmod(key.c_str(), 0644);
      break;
    case Damage::KeyMode0640:
      chmod(key.c_str(), 0640);
      break;
    case Damage::KeyFromOtherAuthority: {
      const std::string certificate = contents(certauth::authority_certificate_path());
      ASSERT_TRUE(certauth::delete_authority(&error_));
      ASSERT_TRUE(certauth::create_authority(&error_));
      std::ofstream(certauth::authority_certificate_path(), std::ios::trunc) << certificate;
      break;
    }
    case Damage::KeyMissing:
      fs::remove(key);
      break;
    case Damage::KeyIsLink:
      fs::rename(key, machine_.root() / "elsewhere.key");
      fs::create_symlink(machine_.root() / "elsewhere.key", key);
      break;
    case Damage::FolderWritableByOthers:
      chmod(certauth::authority_directory().c_str(), 0777);
      break;
    case Damage::CertificateGarbage:
      std::ofstream(certauth::authority_certificate_path(), std::ios::trunc) << "garbage";
      break;
  }
  const std::string before = contents(key);
  const certauth::AuthorityStatus status = certauth::authority_status();
  EXPECT_TRUE(status.present);
  EXPECT_FALSE(status.usable);
  EXPECT_FALSE(status.reason.empty());
  EXPECT_FALSE(certauth::load_authority(nullptr));
  // Never silently replaced: the user deletes it first.
  EXPECT_FALSE(certauth::create_authority(&error_));
  EXPECT_NE(error_.find("not usable"), std::string::npos) << error_;
  EXPECT_EQ(contents(key), before);
  EXPECT_TRUE(certauth::delete_authority(&error_)) << error_;
  EXPECT_FALSE(certauth::authority_status().present);
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedAuthorityTest,
                         ::testing::Values(Damage::KeyMode0644, Damage::KeyMode0640,
                                           Damage::KeyFromOtherAuthority, Damage::KeyMissing,
                                           Damage::KeyIsLink, Damage::FolderWritableByOthers,
                                           Damage::CertificateGarbage));

TEST_F(AuthorityTest, InterruptedCreationLeavesNothingUsableAndIsCleanedUp) {
  // A creation killed after writing the key aside but before the renames.
  fs::create_directories(certauth::authority_directory());
  std::ofstream(certauth::authority_key_path() + ".new-1-00") << "half";
  std::ofstream(certauth::authority_key_path()) << "stray key without certificate";
  chmod(certauth::authority_key_path().c_str(), 0600);
  EXPECT_FALSE(certauth::authority_status().usable);
  ASSERT_TRUE(certauth::create_authority(&error_)) << error_;
  EXPECT_TRUE(certauth::authority_status().usable);
  ASSERT_TRUE(certauth::delete_authority(&error_)) << error_;
  EXPECT_FALSE(fs::exists(certauth::authority_directory()));
}

TEST_F(AuthorityTest, LooseFolderIsTightenedOnCreation) {
  fs::create_directories(certauth::authority_directory());
  chmod(certauth::authority_directory().c_str(), 0755);
  ASSERT_TRUE(certauth::create_authority(&error_)) << error_;
  EXPECT_EQ(mode_of(certauth::authority_directory()), 0700u);
}

}  // namespace
