// Internet Explorer configuration over a seeded registry: each key family on
// its own (present: exactly the expected values written, nothing else; absent:
// nothing created), the record byte for byte, repetition and the install flag.
#include "browsercfg/ie_proxy.h"

#include <string>
#include <vector>

#include "tests/support/empty_machine.h"

namespace browsercfg_test {

using namespace vmtest;
namespace {

const std::string IS = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const std::string LAN = IS + "\\LAN";
const std::string CONNECTIONS = IS + "\\Connections";
const std::string INSTALL = "Software\\Vellomar\\Install";

std::vector<BYTE> from_hex(const std::string& hex) {
  std::vector<BYTE> bytes;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// The 92-byte connection records as the browser expects them.
const std::vector<BYTE> RECORD_ON = from_hex(
    "3C000000 01000000 03000000 28000000"
    "68747470 3D313237 2E302E30 2E313A38 3030303B 68747470 733D3132 372E302E 302E313A 38303030"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000");
const std::vector<BYTE> RECORD_OFF = from_hex(
    "3C000000 02000000 01000000 28000000"
    "68747470 3D313237 2E302E30 2E313A38 3030303B 68747470 733D3132 372E302E 302E313A 38303030"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000");

const RegValue PROXY_SERVER{REG_SZ, sz_bytes("http=127.0.0.1:8000;https=127.0.0.1:8000")};
const RegValue ENABLE_ON{REG_DWORD, {1, 0, 0, 0}};
const RegValue ENABLE_OFF{REG_DWORD, {0, 0, 0, 0}};

TEST(ConnectionRecord, LayoutIsTheBrowsersOwn) {
  ASSERT_EQ(RECORD_ON.size(), 92u);
  ASSERT_EQ(RECORD_OFF.size(), 92u);
  EXPECT_EQ(std::string(RECORD_ON.begin() + 16, RECORD_ON.begin() + 56),
            "http=127.0.0.1:8000;https=127.0.0.1:8000");
}

struct Seed {
  std::string root;
  std::string path;
  std::string value;  // empty: the key alone
};

enum class Kind { PAIR, RECORD };
struct Expect {
  Kind kind;
  std::string root;
  std::string path;
  std::string value;  // the record's value name
};

struct Family {
  std::string name;
  std::vector<Seed> present;
  std::vector<Expect> present_expects;
  std::vector<Seed> absent;  // the family's parents only, or its targets missing
  std::vector<Expect> absent_expects;
};

void PrintTo(const Family& family, std::ostream* out) {
  *out << family.name;
}

Expect pair(const std::string& root, const std::string& path) {
  return {Kind::PAIR, root, path, ""};
}
Expect record(const std::string& root, const std::string& path, const std::string& value) {
  return {Kind::RECORD, root, path, value};
}

const std::vector<Family>& families() {
  static const std::vector<Family> all = {
      {"CurrentUserInternetSettings",
       {{"HKCU", IS, ""}},
       {pair("HKCU", IS)},
       {{"HKCU", "Software\\Microsoft\\Windows\\CurrentVersion", ""}},
       {}},
      {"CurrentUserLan",
       {{"HKCU", LAN, ""}},
       {pair("HKCU", IS), pair("HKCU", LAN)},
       {{"HKCU", IS, ""}},
       {pair("HKCU", IS)}},
      {"CurrentUserConnections",
       {{"HKCU", CONNECTIONS, "DefaultConnectionSettings"},
        {"HKCU", CONNECTIONS, "SavedLegacySettings"},
        {"HKCU", CONNECTIONS, "My ISP"}},
       {pair("HKCU", IS), record("HKCU", CONNECTIONS, "DefaultConnectionSettings"),
        record("HKCU", CONNECTIONS, "SavedLegacySettings"), record("HKCU", CONNECTIONS, "My ISP")},
       {{"HKCU", IS, ""}},
       {pair("HKCU", IS)}},
      {"UserHiveWithLan",
       {{"HKU", "S-1-5-21-1001\\" + LAN, ""},
        {"HKU", "S-1-5-21-1001\\" + CONNECTIONS, "DefaultConnectionSettings"}},
       {pair("HKU", "S-1-5-21-1001\\" + IS), pair("HKU", "S-1-5-21-1001\\" + LAN),
        record("HKU", "S-1-5-21-1001\\" + CONNECTIONS, "DefaultConnectionSettings")},
       {{"HKU", "S-1-5-21-1001\\Software\\Microsoft\\Windows\\CurrentVersion", ""}},
       {}},
      {"UserHiveWithoutLan",
       {{"HKU", "S-1-5-21-1002\\" + IS, ""}},
       {pair("HKU", "S-1-5-21-1002\\" + IS)},
       {{"HKU", "S-1-5-21-1002", ""}},
       {}},
      {"HardwareProfiles",
       {{"HKLM", "Config\\0001\\" + IS, ""}, {"HKLM", "Config\\0002\\" + IS, ""}},
       {pair("HKLM", "Config\\0001\\" + IS), pair("HKLM", "Config\\0002\\" + IS)},
       {{"HKLM", "Config\\0001", ""}},
       {}},
      {"CurrentConfig",
       {{"HKCC", IS, ""}},
       {pair("HKCC", IS)},
       {{"HKCC", "Software\\Microsoft\\Windows\\CurrentVersion", ""}},
       {}},
      {"DialUpProfiles",
       {{"HKCU", "RemoteAccess\\Profile\\My ISP", ""},
        {"HKCU", "RemoteAccess\\Profile\\Office", ""}},
       {record("HKCU", "RemoteAccess\\Profile\\My ISP", "Vellomar Proxy Settings"),
        record("HKCU", "RemoteAccess\\Profile\\Office", "Vellomar Proxy Settings")},
       {{"HKCU", "RemoteAccess", ""}},
       {}},
      // The connection gets its own value in every Connections key, though
      // none held it before.
      {"CurrentUserDialUpEntries",
       {{"HKCU", "RemoteAccess\\Addresses", "My ISP"},
        {"HKCU", CONNECTIONS, ""},
        {"HKU", "S-1-5-21-1003\\" + CONNECTIONS, ""}},
       {pair("HKCU", IS), record("HKCU", CONNECTIONS, "My ISP"),
        pair("HKU", "S-1-5-21-1003\\" + IS),
        record("HKU", "S-1-5-21-1003\\" + CONNECTIONS, "My ISP")},
       {{"HKCU", "RemoteAccess\\Addresses", "My ISP"}, {"HKU", "S-1-5-21-1003", ""}},
       {}},
      {"DefaultUserDialUpEntries",
       {{"HKU", ".DEFAULT\\RemoteAccess\\Addresses", "Office"},
        {"HKCU", CONNECTIONS, ""},
        {"HKU", ".DEFAULT\\" + CONNECTIONS, ""}},
       {pair("HKCU", IS), record("HKCU", CONNECTIONS, "Office"), pair("HKU", ".DEFAULT\\" + IS),
        record("HKU", ".DEFAULT\\" + CONNECTIONS, "Office")},
       {{"HKU", ".DEFAULT\\RemoteAccess\\Addresses", "Office"}},
       {}},
  };
  return all;
}

void seed(const std::vector<Seed>& seeds) {
  for (const Seed& s : seeds) {
    if (s.value.empty()) {
      create_key(root_key(s.root), s.path);
    } else {
      set_value(root_key(s.root), s.path, s.value, REG_BINARY, {0xAA, 0xBB, 0xCC});
    }
  }
}

// `before` with the expected writes of one call applied.
RegSnapshot expected_after(RegSnapshot before, const std::vector<Expect>& expects, bool on,
                           const std::string& flag) {
  for (const Expect& e : expects) {
    auto& values = before[e.root + "\\" + e.path];
    if (e.kind == Kind::PAIR) {
      values["ProxyServer"] = PROXY_SERVER;
      values["ProxyEnable"] = on ? ENABLE_ON : ENABLE_OFF;
    } else {
      values[e.value] = RegValue{REG_BINARY, on ? RECORD_ON : RECORD_OFF};
    }
  }
  before["HKLM\\Software"];
  before["HKLM\\Software\\Vellomar"];
  before["HKLM\\Software\\Vellomar\\Install"]["Internet Explorer"] =
      RegValue{REG_SZ, sz_bytes(flag)};
  return before;
}

class KeyFamilyTest : public EmptyMachineTest,
                      public ::testing::WithParamInterface<std::tuple<Family, bool>> {};

TEST_P(KeyFamilyTest, PresentFamilyGetsExactlyItsValues) {
  const auto& [family, on] = GetParam();
  seed(family.present);
  RegSnapshot before = take_snapshot();
  configure_ie_proxy(on ? 1 : 0);
  EXPECT_EQ(take_snapshot(), expected_after(before, family.present_expects, on, on ? "1" : "0"));
}

TEST_P(KeyFamilyTest, AbsentFamilyCreatesNothing) {
  const auto& [family, on] = GetParam();
  seed(family.absent);
  RegSnapshot before = take_snapshot();
  configure_ie_proxy(on ? 1 : 0);
  EXPECT_EQ(take_snapshot(), expected_after(before, family.absent_expects, on, on ? "1" : "0"));
}

INSTANTIATE_TEST_SUITE_P(Families, KeyFamilyTest,
                         ::testing::Combine(::testing::ValuesIn(families()), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "_On" : "_Off");
                         });

class IeProxyTest : public EmptyMachineTest {
 protected:
  static void seed_all_families() {
    for (const Family& family : families()) seed(family.present);
  }
};

TEST_F(IeProxyTest, EmptyRegistryGetsOnlyTheInstallFlag) {
  RegSnapshot before = take_snapshot();
  configure_ie_proxy(1);
  EXPECT_EQ(take_snapshot(), expected_after(before, {}, true, "1"));
}

TEST_F(IeProxyTest, AllFamiliesTogetherGetEveryValue) {
  seed_all_families();
  configure_ie_proxy(1);
  for (const Family& family : families()) {
    for (const Expect& e : family.present_expects) {
      HKEY root = root_key(e.root);
      if (e.kind == Kind::PAIR) {
        EXPECT_EQ(read_value(root, e.path, "ProxyServer"), PROXY_SERVER)
            << e.root << "\\" << e.path;
        EXPECT_EQ(read_value(root, e.path, "ProxyEnable"), ENABLE_ON) << e.root << "\\" << e.path;
      } else {
        EXPECT_EQ(read_value(root, e.path, e.value), (RegValue{REG_BINARY, RECORD_ON}))
            << e.root << "\\" << e.path << " " << e.value;
      }
    }
  }
  // Dial-up connections reach every user's Connections key.
  EXPECT_EQ(read_value(HKEY_USERS, "S-1-5-21-1001\\" + CONNECTIONS, "My ISP").data, RECORD_ON);
  EXPECT_EQ(read_value(HKEY_USERS, "S-1-5-21-1001\\" + CONNECTIONS, "Office").data, RECORD_ON);
}

TEST_F(IeProxyTest, RepeatingACallChangesNothing) {
  seed_all_families();
  configure_ie_proxy(1);
  RegSnapshot once = take_snapshot();
  configure_ie_proxy(1);
  EXPECT_EQ(take_snapshot(), once);
  configure_ie_proxy(0);
  EXPECT_NE(take_snapshot(), once);
  configure_ie_proxy(1);
  EXPECT_EQ(take_snapshot(), once);
}

TEST_F(IeProxyTest, AnyNonzeroArgumentIsOnAndRecordedAsGiven) {
  seed_all_families();
  configure_ie_proxy(1);
  RegSnapshot with_one = take_snapshot();
  configure_ie_proxy(-7);
  RegSnapshot with_other = take_snapshot();
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Internet Explorer"),
            (RegValue{REG_SZ, sz_bytes("-7")}));
  with_other["HKLM\\Software\\Vellomar\\Install"] = with_one["HKLM\\Software\\Vellomar\\Install"];
  EXPECT_EQ(with_other, with_one);
}

TEST_F(IeProxyTest, InstallFlagKeepsOtherProductValues) {
  set_string(HKEY_LOCAL_MACHINE, INSTALL, "Netscape", "1");
  configure_ie_proxy(0);
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Netscape"), (RegValue{REG_SZ, sz_bytes("1")}));
  EXPECT_EQ(read_value(HKEY_LOCAL_MACHINE, INSTALL, "Internet Explorer"),
            (RegValue{REG_SZ, sz_bytes("0")}));
}

}  // namespace
}  // namespace browsercfg_test
