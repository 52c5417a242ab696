// Prints the settings the setup pages store, as one JSON object, for the
// browser tests: {"ie":0,"netscape":0,"log":1,"server":"","port":0}. Reads
// the registry of the machine folder named by VELLOMAR_PREFIX.
#include <cstdio>
#include <string>

#include "platform/process.h"
#include "settings/registry_settings.h"

namespace {

std::string json_string(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

int main() {
  platform::init_process();
  StoredProxySetting proxy{};
  const bool has_proxy = read_proxy_setting(&proxy);
  std::printf("{\"ie\":%d,\"netscape\":%d,\"log\":%d,\"server\":%s,\"port\":%d,\"proxy_key\":%s}\n",
              read_setting_number("Software\\Vellomar\\Install", "Internet Explorer"),
              read_setting_number("Software\\Vellomar\\Install", "Netscape"),
              read_setting_number("Software\\Vellomar\\Log", "Enabled"),
              json_string(has_proxy ? proxy.host : "").c_str(), has_proxy ? proxy.port : 0,
              has_proxy ? "true" : "false");
  return 0;
}
