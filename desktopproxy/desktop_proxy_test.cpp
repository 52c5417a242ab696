#include "desktopproxy/desktop_proxy.h"

#include <gio/gio.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "desktopproxy/gnome_proxy.h"
#include "desktopproxy/kde_proxy.h"
#include "tests/support/desktop_home.h"

using namespace desktopproxy;
using vmtest::DesktopHomeTest;
using vmtest::home_dir;
using vmtest::read_file;
using vmtest::write_file;

namespace {

// ---- KConfig text -------------------------------------------------------------

struct KConfigCase {
  const char* name;
  std::string before;
  std::optional<std::string> value;
  std::string after;
};

class KConfigText : public ::testing::TestWithParam<KConfigCase> {};

TEST_P(KConfigText, SetsOrRemovesOneKeyAndKeepsEveryOtherLine) {
  const KConfigCase& c = GetParam();
  EXPECT_EQ(kconfig_with(c.before, "Proxy Settings", "httpProxy", c.value), c.after);
  EXPECT_EQ(kconfig_value(c.after, "Proxy Settings", "httpProxy"), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, KConfigText,
    ::testing::Values(
        KConfigCase{"EmptyFile", "", "x 1", "[Proxy Settings]\nhttpProxy=x 1\n"},
        KConfigCase{"OtherGroupOnly", "[Cache]\nMaxSize=5", "x 1",
                    "[Cache]\nMaxSize=5\n\n[Proxy Settings]\nhttpProxy=x 1\n"},
        KConfigCase{"Replaced",
                    "[Proxy Settings]\nProxyType=1\nhttpProxy = old 3\n[B]\nhttpProxy=b\n", "x 1",
                    "[Proxy Settings]\nProxyType=1\nhttpProxy=x 1\n[B]\nhttpProxy=b\n"},
        KConfigCase{"AddedAtGroupEnd", "[Proxy Settings]\nProxyType=1\n\n[B]\nk=v\n", "x 1",
                    "[Proxy Settings]\nProxyType=1\nhttpProxy=x 1\n\n[B]\nk=v\n"},
        KConfigCase{"Removed", "[Proxy Settings]\r\nhttpProxy=old\r\nProxyType=0\r\n", std::nullopt,
                    "[Proxy Settings]\r\nProxyType=0\r\n"},
        KConfigCase{"NestedGroupIsAnother", "[Proxy Settings][Sub]\nhttpProxy=s\n", "x 1",
                    "[Proxy Settings][Sub]\nhttpProxy=s\n\n[Proxy Settings]\nhttpProxy=x 1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- KDE's kioslaverc ---------------------------------------------------------

class KdeProxy : public DesktopHomeTest {
 protected:
  std::string path() const { return kioslaverc_path(); }
};

constexpr char USERS_KIOSLAVERC[] =
    "[$Version]\nupdate_info=kioslave.upd:1\n\n[Proxy Settings]\nNoProxyFor=localhost\n"
    "ProxyType=1\nhttpProxy=http://corp.example 3128\n";

TEST_F(KdeProxy, OnTakesTheUsersProxyAsUpstreamAndOffRestoresTheFile) {
  write_file(path(), USERS_KIOSLAVERC);
  DesktopOutcome on;
  apply_kde_proxy(true, &on);
  ASSERT_TRUE(on.upstream);
  EXPECT_EQ(on.upstream->host, "corp.example");
  EXPECT_EQ(on.upstream->port, 3128);
  const std::string written = read_file(path());
  EXPECT_EQ(kconfig_value(written, "Proxy Settings", "httpsProxy"), "http://127.0.0.1 8000");
  EXPECT_EQ(kconfig_value(written, "Proxy Settings", "NoProxyFor"), "localhost");

  // KDE's own reader sees what was written, where it is installed.
  if (access("/usr/bin/kreadconfig5", X_OK) == 0) {
    std::string command =
        "/usr/bin/kreadconfig5 --file '" + path() + "' --group 'Proxy Settings' --key httpProxy";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = "";
    ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    EXPECT_STREQ(line, "http://127.0.0.1 8000\n");
  }

  DesktopOutcome off;
  apply_kde_proxy(false, &off);
  EXPECT_EQ(read_file(path()), USERS_KIOSLAVERC);
}

TEST_F(KdeProxy, ASettingChangedSinceOnIsKept) {
  DesktopOutcome on;
  apply_kde_proxy(true, &on);
  EXPECT_FALSE(on.upstream);
  // The user picks another proxy while Vellomar is on: off leaves it.
  std::string text = kconfig_with(read_file(path()), "Proxy Settings", "ProxyType", "0");
  write_file(path(), text);
  DesktopOutcome off;
  apply_kde_proxy(false, &off);
  EXPECT_EQ(read_file(path()), text);
}

TEST_F(KdeProxy, LockedGroupIsSkipped) {
  const std::string locked = "[Proxy Settings][$i]\nProxyType=0\n";
  write_file(path(), locked);
  DesktopOutcome on;
  apply_kde_proxy(true, &on);
  EXPECT_EQ(read_file(path()), locked);
  EXPECT_EQ(on.notes.size(), 1u);
}

// ---- GNOME's GSettings --------------------------------------------------------

class GnomeProxy : public DesktopHomeTest {
 protected:
  void SetUp() override {
    DesktopHomeTest::SetUp();
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source != nullptr ? g_settings_schema_source_lookup(source, SCHEMA, TRUE) : nullptr;
    if (schema == nullptr) GTEST_SKIP() << "gsettings-desktop-schemas is not installed";
    g_settings_schema_unref(schema);
    root_ = g_settings_new(SCHEMA);
    http_ = g_settings_get_child(root_, "http");
    https_ = g_settings_get_child(root_, "https");
    g_settings_set_string(root_, "mode", "none");
  }
  void TearDown() override {
    if (root_ == nullptr) return;
    g_object_unref(http_);
    g_object_unref(https_);
    g_object_unref(root_);
  }
  std::string string_of(GSettings* settings, const char* key) {
    gchar* value = g_settings_get_string(settings, key);
    std::string text = value;
    g_free(value);
    return text;
  }
  static constexpr char SCHEMA[] = "org.gnome.system.proxy";
  GSettings* root_ = nullptr;
  GSettings* http_ = nullptr;
  GSettings* https_ = nullptr;
};

TEST_F(GnomeProxy, ManualProxyBecomesUpstreamAndComesBackAtOff) {
  g_settings_set_string(http_, "host", "corp.example");
  g_settings_set_int(http_, "port", 3128);
  g_settings_set_string(root_, "mode", "manual");
  GVariant* ignore = g_settings_get_value(root_, "ignore-hosts");

  DesktopOutcome on;
  apply_gnome_proxy(true, &on);
  ASSERT_TRUE(on.upstream);
  EXPECT_EQ(on.upstream->host, "corp.example");
  EXPECT_EQ(on.upstream->port, 3128);
  EXPECT_EQ(string_of(https_, "host"), "127.0.0.1");
  EXPECT_EQ(g_settings_get_int(http_, "port"), 8000);
  GVariant* ignore_on = g_settings_get_value(root_, "ignore-hosts");
  EXPECT_TRUE(g_variant_equal(ignore, ignore_on));
  g_variant_unref(ignore_on);
  g_variant_unref(ignore);
  // On again saves nothing new: off still gives the user's proxy back.
  DesktopOutcome again;
  apply_gnome_proxy(true, &again);
  EXPECT_FALSE(again.upstream);

  DesktopOutcome off;
  apply_gnome_proxy(false, &off);
  EXPECT_EQ(string_of(root_, "mode"), "manual");
  EXPECT_EQ(string_of(http_, "host"), "corp.example");
  EXPECT_EQ(g_settings_get_int(http_, "port"), 3128);
}

TEST_F(GnomeProxy, ASettingChangedSinceOnIsLeftAlone) {
  DesktopOutcome on;
  apply_gnome_proxy(true, &on);
  EXPECT_EQ(string_of(root_, "mode"), "manual");
  g_settings_set_string(root_, "mode", "auto");
  DesktopOutcome off;
  apply_gnome_proxy(false, &off);
  EXPECT_EQ(string_of(root_, "mode"), "auto");
  // Nothing saved is left behind for a later off.
  g_settings_set_string(root_, "mode", "manual");
  g_settings_set_string(http_, "host", "127.0.0.1");
  DesktopOutcome later;
  apply_gnome_proxy(false, &later);
  EXPECT_EQ(string_of(root_, "mode"), "manual");
}

TEST_F(GnomeProxy, NoDesktopSessionIsOneNoteAndNoChange) {
  DesktopOutcome outcome = apply_desktop_proxy(true);
  EXPECT_EQ(outcome.notes.size(), 1u);
  EXPECT_EQ(string_of(root_, "mode"), "none");
}

}  // namespace
