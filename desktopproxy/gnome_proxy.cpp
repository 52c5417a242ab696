#include "desktopproxy/gnome_proxy.h"

#include <gio/gio.h>

#include <memory>

#include "desktopproxy/saved_state.h"

namespace desktopproxy {
namespace {

constexpr char SCHEMA[] = "org.gnome.system.proxy";
constexpr char MANUAL[] = "manual";
constexpr char SAVED_MODE[] = "GNOME Mode";
constexpr char SAVED_HTTP_HOST[] = "GNOME HTTP Host";
constexpr char SAVED_HTTP_PORT[] = "GNOME HTTP Port";
constexpr char SAVED_HTTPS_HOST[] = "GNOME HTTPS Host";
constexpr char SAVED_HTTPS_PORT[] = "GNOME HTTPS Port";

struct Unref {
  void operator()(void* object) const { g_object_unref(object); }
};
using Settings = std::unique_ptr<GSettings, Unref>;

struct GnomeProxy {
  std::string mode;
  std::string http_host;
  int http_port = 0;
  std::string https_host;
  int https_port = 0;
  bool operator==(const GnomeProxy&) const = default;
};

std::string get_string(GSettings* settings, const char* key) {
  gchar* value = g_settings_get_string(settings, key);
  std::string text = value != nullptr ? value : "";
  g_free(value);
  return text;
}

GnomeProxy read_proxy(GSettings* root, GSettings* http, GSettings* https) {
  return {get_string(root, "mode"), get_string(http, "host"), g_settings_get_int(http, "port"),
          get_string(https, "host"), g_settings_get_int(https, "port")};
}

// Hosts first and the mode last, so that a program watching the setting
// never sees manual mode with the old hosts.
void write_proxy(GSettings* root, GSettings* http, GSettings* https, const GnomeProxy& proxy) {
  if (proxy.mode != MANUAL) g_settings_set_string(root, "mode", proxy.mode.c_str());
  g_settings_set_string(http, "host", proxy.http_host.c_str());
  g_settings_set_int(http, "port", proxy.http_port);
  g_settings_set_string(https, "host", proxy.https_host.c_str());
  g_settings_set_int(https, "port", proxy.https_port);
  if (proxy.mode == MANUAL) g_settings_set_string(root, "mode", proxy.mode.c_str());
  g_settings_sync();
}

const GnomeProxy& ours() {
  static const GnomeProxy proxy{MANUAL, PROXY_HOST, PROXY_PORT, PROXY_HOST, PROXY_PORT};
  return proxy;
}

int leading_port(const std::string& text) {
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || port > 65535) break;
    port = port * 10 + (c - '0');
  }
  return port;
}

}  // namespace

void apply_gnome_proxy(bool enable, DesktopOutcome* outcome) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      source != nullptr ? g_settings_schema_source_lookup(source, SCHEMA, TRUE) : nullptr;
  if (schema == nullptr) {
    outcome->notes.push_back(
        "Desktop proxy (GNOME): no GSettings schema org.gnome.system.proxy, "
        "skipped.");
    return;
  }
  Settings root(g_settings_new_full(schema, nullptr, nullptr));
  g_settings_schema_unref(schema);
  Settings http(g_settings_get_child(root.get(), "http"));
  Settings https(g_settings_get_child(root.get(), "https"));
  if (!g_settings_is_writable(root.get(), "mode") || !g_settings_is_writable(http.get(), "host") ||
      !g_settings_is_writable(https.get(), "host")) {
    outcome->notes.push_back("Desktop proxy (GNOME): the setting is locked, skipped.");
    return;
  }
  const GnomeProxy current = read_proxy(root.get(), http.get(), https.get());
  if (enable) {
    if (current == ours()) return;
    if (!write_saved(SAVED_HTTP_HOST, current.http_host) ||
        !write_saved(SAVED_HTTP_PORT, std::to_string(current.http_port)) ||
        !write_saved(SAVED_HTTPS_HOST, current.https_host) ||
        !write_saved(SAVED_HTTPS_PORT, std::to_string(current.https_port)) ||
        !write_saved(SAVED_MODE, current.mode)) {
      outcome->notes.push_back(
          "Desktop proxy (GNOME): the earlier setting could not be saved, "
          "left alone.");
      return;
    }
    if (current.mode == MANUAL && !current.http_host.empty() && current.http_port > 0) {
      outcome->upstream = UpstreamFound{current.http_host, current.http_port};
    } else if (current.mode == MANUAL && !current.https_host.empty() && current.https_port > 0) {
      outcome->upstream = UpstreamFound{current.https_host, current.https_port};
    }
    write_proxy(root.get(), http.get(), https.get(), ours());
    outcome->notes.push_back("Desktop proxy (GNOME) set to 127.0.0.1:8000.");
    return;
  }
  std::optional<std::string> mode = read_saved(SAVED_MODE);
  if (!mode) return;  // never switched on here
  if (current == ours()) {
    GnomeProxy saved{*mode, read_saved(SAVED_HTTP_HOST).value_or(""),
                     leading_port(read_saved(SAVED_HTTP_PORT).value_or("0")),
                     read_saved(SAVED_HTTPS_HOST).value_or(""),
                     leading_port(read_saved(SAVED_HTTPS_PORT).value_or("0"))};
    write_proxy(root.get(), http.get(), https.get(), saved);
    outcome->notes.push_back("Desktop proxy (GNOME) set back to mode " + saved.mode + ".");
  } else {
    outcome->notes.push_back(
        "Desktop proxy (GNOME) was changed since Vellomar set it; left as "
        "it is.");
  }
  for (const char* name :
       {SAVED_MODE, SAVED_HTTP_HOST, SAVED_HTTP_PORT, SAVED_HTTPS_HOST, SAVED_HTTPS_PORT}) {
    delete_saved(name);
  }
}

}  // namespace desktopproxy
