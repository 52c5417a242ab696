// vmhttps and the remove program end to end: the authority's files and their
// modes, the switch, the browsers' trust stores (real certutil databases in
// the machine's home), and that taking it all away leaves nothing of it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/programs.h"
#include "tests/support/registry.h"

namespace {

using vmtest::fs::path;
using vmtest::fs::perms;

const std::string BIN = VELLOMAR_BIN_DIR;
const std::string NICKNAME = "Vellomar local inspection authority";

using vmtest::command_output;

perms mode_of(const path& file) {
  return vmtest::fs::status(file).permissions() & perms::all;
}

// A machine whose home holds one Firefox profile that Firefox never started.
class VmhttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (system("command -v certutil >/dev/null") != 0) {
      GTEST_SKIP() << "certutil (libnss3-tools) is not installed";
    }
    vmtest::write_file(machine_.prefix() / ".mozilla/firefox/profiles.ini",
                       "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\n");
    vmtest::fs::create_directories(profile());
  }

  vmtest::Outcome vmhttps(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BIN + "/vmhttps");
    return machine_.run(arguments, machine_.root());
  }
  path https() const { return machine_.prefix() / "https"; }
  path profile() const { return machine_.prefix() / ".mozilla/firefox/p.default"; }
  path shared() const { return machine_.prefix() / ".pki/nssdb"; }
  static std::string listing(const path& db) {
    return command_output("certutil -L -d 'sql:" + db.string() + "' 2>&1");
  }
  std::string inspect_value() const {
    vmtest::RegValue value =
        vmtest::read_value(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\HTTPS", "Inspect");
    return value.data.empty() ? "absent" : std::to_string(value.data[0]);
  }

  vmtest::ProgramMachine machine_{"vmhttps"};
};

TEST_F(VmhttpsTest, OnTrustThenUntrustAndKeyDeletionLeaveNothingBehind) {
  vmtest::Outcome outcome = vmhttps({"trust"});
  EXPECT_EQ(outcome.status, 1) << outcome.out;
  EXPECT_NE(outcome.out.find("vmhttps on"), std::string::npos) << outcome.out;

  outcome = vmhttps({"on"});
  ASSERT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_NE(outcome.out.find("vmhttps trust"), std::string::npos) << outcome.out;
  EXPECT_EQ(mode_of(https()), perms::owner_all);
  EXPECT_EQ(mode_of(https() / "ca.key"), perms::owner_read | perms::owner_write);
  EXPECT_EQ(inspect_value(), "1");
  const std::string fingerprint = command_output("openssl x509 -noout -fingerprint -sha256 -in '" +
                                                 (https() / "ca.crt").string() + "' | cut -d= -f2");
  ASSERT_EQ(fingerprint.size(), 96u) << fingerprint;

  outcome = vmhttps({"trust"});
  ASSERT_EQ(outcome.status, 0) << outcome.out;
  for (const path& db : {profile(), shared()}) {
    EXPECT_NE(listing(db).find(NICKNAME), std::string::npos) << db;
  }
  outcome = vmhttps({"status"});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  for (const char* line :
       {"Inspection: on", "Authority:  usable", "p.default: trusted", "nssdb: trusted"}) {
    EXPECT_NE(outcome.out.find(line), std::string::npos) << line << "\n" << outcome.out;
  }
  EXPECT_NE(outcome.out.find(fingerprint.substr(0, 95)), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.out.find("PRIVATE KEY"), std::string::npos);

  // On again keeps the authority the browsers already trust.
  outcome = vmhttps({"on"});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_EQ(outcome.out.find("vmhttps trust"), std::string::npos) << outcome.out;
  EXPECT_NE(vmhttps({"status"}).out.find(fingerprint.substr(0, 95)), std::string::npos);

  outcome = vmhttps({"off"});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_EQ(inspect_value(), "absent");
  EXPECT_TRUE(vmtest::fs::exists(https() / "ca.key"));

  // The key goes; the certificate stays while a store trusts it, so that
  // untrust can still tell Vellomar's entry from any other.
  outcome = vmhttps({"off", "--delete-key"});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_FALSE(vmtest::fs::exists(https() / "ca.key"));
  EXPECT_TRUE(vmtest::fs::exists(https() / "ca.crt"));

  outcome = vmhttps({"untrust"});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  outcome = vmhttps({"off", "--delete-key"});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_FALSE(vmtest::fs::exists(https()));
  for (const path& db : {profile(), shared()}) {
    EXPECT_EQ(listing(db).find(NICKNAME), std::string::npos) << db;
  }
  EXPECT_NE(vmhttps({"status"}).out.find("Authority:  none"), std::string::npos);
}

TEST_F(VmhttpsTest, RemoveProgramSwitchesOffUntrustsAndDeletesTheKey) {
  ASSERT_EQ(vmhttps({"on"}).status, 0);
  ASSERT_EQ(vmhttps({"trust"}).status, 0);
  machine_.seed_registry();
  vmtest::Outcome removed = machine_.run({BIN + "/vmremove"}, machine_.root(), "yes");
  EXPECT_EQ(removed.status, 0) << removed.out;
  EXPECT_EQ(inspect_value(), "absent");
  EXPECT_FALSE(vmtest::fs::exists(https()));
  for (const path& db : {profile(), shared()}) {
    EXPECT_EQ(listing(db).find(NICKNAME), std::string::npos) << db;
  }
}

// NSS keeps its sql: databases in SQLite, which certutil may change while
// Firefox has the profile open; Firefox must not undo the change on exit.
TEST_F(VmhttpsTest, TrustReachesTheProfileOfARunningFirefox) {
  const std::string firefox = "/usr/bin/firefox-esr";
  if (access(firefox.c_str(), X_OK) != 0) GTEST_SKIP() << "firefox-esr is not installed";
  machine_.extra_environment.push_back("MOZ_HEADLESS=1");
  const pid_t browser = machine_.start_background(
      {firefox, "--headless", "--no-remote", "--profile", profile().string(), "about:blank"},
      machine_.root());
  ASSERT_TRUE(vmtest::eventually([&] {
    return vmtest::fs::exists(profile() / "cert9.db") && vmtest::fs::is_symlink(profile() / "lock");
  })) << "Firefox did not start";
  ASSERT_EQ(vmhttps({"on"}).status, 0);
  const vmtest::Outcome outcome = vmhttps({"trust"});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_NE(outcome.out.find("Firefox is running"), std::string::npos) << outcome.out;
  EXPECT_NE(listing(profile()).find(NICKNAME), std::string::npos);
  kill(browser, SIGTERM);
  waitpid(browser, nullptr, 0);
  machine_.forget(browser);
  EXPECT_NE(listing(profile()).find(NICKNAME), std::string::npos);
}

// Another user of the machine can reach the machine folder (made traversable
// here, so that only the authority's own modes stand in the way) but can
// neither read the key nor list the authority's folder.
TEST_F(VmhttpsTest, AnotherUserCannotReadTheKey) {
  ASSERT_EQ(vmhttps({"on"}).status, 0);
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (system((as_nobody + "true 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot run a program as another user here (setpriv needs root)";
  }
  for (const path& folder : {machine_.root(), machine_.prefix()}) {
    vmtest::fs::permissions(folder, perms::owner_all | perms::others_exec | perms::group_exec);
  }
  vmtest::write_file(machine_.prefix() / "public.txt", "readable");
  vmtest::fs::permissions(machine_.prefix() / "public.txt",
                          perms::owner_read | perms::owner_write | perms::others_read);
  auto readable = [&](const path& file) {
    return system((as_nobody + "cat '" + file.string() + "' >/dev/null 2>&1").c_str()) == 0;
  };
  ASSERT_TRUE(readable(machine_.prefix() / "public.txt")) << "the check itself cannot read";
  EXPECT_FALSE(readable(https() / "ca.key"));
  EXPECT_FALSE(readable(https() / "ca.crt"));  // the folder keeps others out
  // Even with the folder opened up, the key's own mode keeps it.
  vmtest::fs::permissions(https(), perms::owner_all | perms::others_read | perms::others_exec);
  EXPECT_FALSE(readable(https() / "ca.key"));
  EXPECT_TRUE(readable(https() / "ca.crt"));
}

struct CommandLine {
  const char* name;
  std::vector<std::string> arguments;
  int status;
};

class VmhttpsCommandLine : public VmhttpsTest, public ::testing::WithParamInterface<CommandLine> {};

TEST_P(VmhttpsCommandLine, ExitStatus) {
  vmtest::Outcome outcome = vmhttps(GetParam().arguments);
  EXPECT_EQ(outcome.status, GetParam().status) << outcome.out;
  EXPECT_NE(outcome.out.find("usage: vmhttps"), std::string::npos) << outcome.out;
  EXPECT_FALSE(vmtest::fs::exists(https()));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, VmhttpsCommandLine,
    ::testing::Values(CommandLine{"Help", {"--help"}, 0}, CommandLine{"None", {}, 2},
                      CommandLine{"Unknown", {"enable"}, 2},
                      CommandLine{"TwoCommands", {"on", "trust"}, 2},
                      CommandLine{"DeleteKeyWithOn", {"on", "--delete-key"}, 2},
                      CommandLine{"UnknownOption", {"--force", "off"}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
