#include "settings/registry_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/machine.h"
#include "tests/support/registry.h"

namespace fs = std::filesystem;

namespace {

// Each test runs on a fresh machine of its own.
class RegistrySettingsTest : public ::testing::Test {
 protected:
  static void set_value(const char* sub_key, const char* name, const char* text) {
    vmtest::set_string(HKEY_LOCAL_MACHINE, sub_key, name, text);
  }

  static std::string stored_text(const char* sub_key, const char* name, DWORD* type) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return "?";
    char data[256];
    DWORD size = sizeof data;
    const LONG result =
        RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return "?";
    return std::string(data, size);
  }

  vmtest::Machine machine_{"settings"};
};

TEST_F(RegistrySettingsTest, FreshMachineHasDefaults) {
  StoredProxySetting setting{"kept", 42};
  EXPECT_FALSE(read_proxy_setting(&setting));
  EXPECT_STREQ(setting.host, "kept");
  EXPECT_EQ(setting.port, 42);
  EXPECT_EQ(read_setting_number("Software\\Vellomar\\Log", "Enabled"), 0);
  EXPECT_EQ(read_setting_number("Software\\Vellomar\\Install", "Netscape"), 0);
}

TEST_F(RegistrySettingsTest, ProxySettingIsStoredAsText) {
  write_proxy_setting("proxy.example.com", 3128);
  DWORD type = 0;
  EXPECT_EQ(stored_text("Software\\Vellomar\\Proxy", "Server", &type),
            std::string("proxy.example.com", 18));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(stored_text("Software\\Vellomar\\Proxy", "Port", &type), std::string("3128", 5));
  StoredProxySetting setting{};
  ASSERT_TRUE(read_proxy_setting(&setting));
  EXPECT_STREQ(setting.host, "proxy.example.com");
  EXPECT_EQ(setting.port, 3128);

  // No validation: an empty host and any port are stored as given.
  write_proxy_setting("", 8000);
  setting = StoredProxySetting{"old", 1};
  ASSERT_TRUE(read_proxy_setting(&setting));
  EXPECT_STREQ(setting.host, "");
  EXPECT_EQ(setting.port, 8000);
}

TEST_F(RegistrySettingsTest, MissingPortReadsAsZeroAndLongHostIsCut) {
  const std::string long_host(200, 'h');
  set_value("Software\\Vellomar\\Proxy", "Server", long_host.c_str());
  StoredProxySetting setting{"x", 99};
  ASSERT_TRUE(read_proxy_setting(&setting));
  EXPECT_EQ(std::string(setting.host), long_host.substr(0, sizeof setting.host - 1));
  EXPECT_EQ(setting.port, 0);
}

TEST_F(RegistrySettingsTest, LogFlagIsWrittenAndRead) {
  write_log_enabled(1);
  DWORD type = 0;
  EXPECT_EQ(stored_text("Software\\Vellomar\\Log", "Enabled", &type), std::string("1", 2));
  EXPECT_EQ(read_setting_number("SOFTWARE\\vellomar\\log", "enabled"), 1);
  EXPECT_TRUE(log_enabled());
  write_log_enabled(0);
  EXPECT_EQ(read_setting_number("Software\\Vellomar\\Log", "Enabled"), 0);
  EXPECT_FALSE(log_enabled());
}

TEST_F(RegistrySettingsTest, InstallFlagsAreStoredPerBrowser) {
  write_install_flag(Browser::InternetExplorer, 1);
  write_install_flag(Browser::Netscape, 0);
  DWORD type = 0;
  EXPECT_EQ(stored_text("Software\\Vellomar\\Install", "Internet Explorer", &type),
            std::string("1", 2));
  EXPECT_EQ(stored_text("Software\\Vellomar\\Install", "Netscape", &type), std::string("0", 2));
  EXPECT_TRUE(install_flag_set(Browser::InternetExplorer));
  EXPECT_FALSE(install_flag_set(Browser::Netscape));
}

}  // namespace

namespace {

struct InspectCase {
  DWORD type;
  std::vector<BYTE> data;
  bool on;
};

class HttpsSwitchTest : public ::testing::TestWithParam<InspectCase> {
 protected:
  vmtest::Machine machine_{"https-switch"};
};

TEST_P(HttpsSwitchTest, ReadsStoredValue) {
  vmtest::set_value(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\HTTPS", "Inspect", GetParam().type,
                    GetParam().data);
  EXPECT_EQ(https_inspection_enabled(), GetParam().on);
}

INSTANTIATE_TEST_SUITE_P(Values, HttpsSwitchTest,
                         ::testing::Values(InspectCase{REG_DWORD, {1, 0, 0, 0}, true},
                                           InspectCase{REG_DWORD, {0, 0, 0, 0}, false},
                                           InspectCase{REG_DWORD, {1, 0, 0, 1}, false},
                                           InspectCase{REG_DWORD, {1}, false},
                                           InspectCase{REG_SZ, {'1', 0}, true},
                                           InspectCase{REG_SZ, {'0', 0}, false},
                                           InspectCase{REG_BINARY, {1}, false}));

TEST(HttpsSwitch, OnStoresDwordAndOffRemovesEverything) {
  vmtest::Machine machine{"https-switch"};
  EXPECT_FALSE(https_inspection_enabled());
  ASSERT_TRUE(set_https_inspection_enabled(true));
  EXPECT_TRUE(https_inspection_enabled());
  EXPECT_EQ(vmtest::read_value(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\HTTPS", "Inspect"),
            (vmtest::RegValue{REG_DWORD, {1, 0, 0, 0}}));
  ASSERT_TRUE(set_https_inspection_enabled(false));
  EXPECT_FALSE(https_inspection_enabled());
  for (const std::string& name : vmtest::key_names(vmtest::take_snapshot())) {
    EXPECT_EQ(name.find("HTTPS"), std::string::npos) << name;
  }
  EXPECT_TRUE(set_https_inspection_enabled(false));
}

}  // namespace
