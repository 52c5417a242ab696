// Vellomar's settings in the registry: each operation opens its key, does its
// one job and closes it; failures fall back to the defaults (empty, 0).
#include "settings/registry_settings.h"

#include <cstdio>
#include <cstring>

#include "platform/registry.h"
#include "settings/product.h"
#include "text/text_helpers.h"

namespace {

const char* install_flag_name(Browser browser) {
  return browser == Browser::InternetExplorer ? IE_FLAG_VALUE : NETSCAPE_FLAG_VALUE;
}

// Reads a value of an open key as text into buffer (SETTING_BUFFER_SIZE
// bytes, always terminated); false when it is missing or does not fit.
bool read_text(HKEY key, const char* value_name, char* buffer) {
  DWORD size = SETTING_BUFFER_SIZE - 1;
  if (RegQueryValueExA(key, value_name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    buffer[0] = '\0';
    return false;
  }
  buffer[size < SETTING_BUFFER_SIZE ? size : SETTING_BUFFER_SIZE - 1] = '\0';
  return true;
}

void set_text(HKEY key, const char* value_name, const char* text) {
  RegSetValueExA(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text) + 1));
}

// Opens `sub_key` of HKEY_LOCAL_MACHINE for writing, creating it when needed;
// null when it can be neither opened nor created.
HKEY create_key(const char* sub_key) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

// Stores the decimal text of `number` as `value_name` of `sub_key`, creating
// the key when needed; does nothing when it cannot be opened or created.
void write_number(const char* sub_key, const char* value_name, int number) {
  HKEY key = create_key(sub_key);
  if (key == nullptr) return;
  char text[16];
  std::snprintf(text, sizeof text, "%d", number);
  set_text(key, value_name, text);
  RegCloseKey(key);
}

}  // namespace

bool read_proxy_setting(StoredProxySetting* setting) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UPSTREAM_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  char buffer[SETTING_BUFFER_SIZE];
  // A stored host longer than the field is cut to fit it.
  read_text(key, UPSTREAM_SERVER_VALUE, buffer);
  const std::size_t length = strnlen(buffer, sizeof setting->host - 1);
  std::memcpy(setting->host, buffer, length);
  setting->host[length] = '\0';
  read_text(key, UPSTREAM_PORT_VALUE, buffer);
  setting->port = leading_number(buffer);
  RegCloseKey(key);
  return true;
}

void write_proxy_setting(const char* host, int port) {
  HKEY key = create_key(UPSTREAM_KEY);
  if (key == nullptr) return;
  char number[16];
  std::snprintf(number, sizeof number, "%d", port);
  set_text(key, UPSTREAM_SERVER_VALUE, host != nullptr ? host : "");
  set_text(key, UPSTREAM_PORT_VALUE, number);
  RegCloseKey(key);
}

void write_log_enabled(int flag) {
  write_number(LOG_KEY, LOG_ENABLED_VALUE, flag);
}

bool log_enabled() {
  return read_setting_number(LOG_KEY, LOG_ENABLED_VALUE) == 1;
}

void write_install_flag(Browser browser, int enable) {
  write_number(INSTALL_FLAGS_KEY, install_flag_name(browser), enable);
}

bool install_flag_set(Browser browser) {
  return read_setting_number(INSTALL_FLAGS_KEY, install_flag_name(browser)) == 1;
}

int read_setting_number(const char* sub_key, const char* value_name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  char buffer[SETTING_BUFFER_SIZE];
  const bool read = read_text(key, value_name, buffer);
  RegCloseKey(key);
  return read ? leading_number(buffer) : 0;
}

bool https_inspection_enabled() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, HTTPS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  BYTE data[16] = {};
  DWORD size = sizeof data - 1;
  DWORD type = REG_NONE;
  const LONG result = RegQueryValueExA(key, HTTPS_INSPECT_VALUE, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return false;
  if (type == REG_DWORD) {
    return size == 4 &&
           (data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24) == 1;
  }
  return type == REG_SZ && leading_number(reinterpret_cast<const char*>(data)) == 1;
}

bool set_https_inspection_enabled(bool enabled) {
  if (enabled) {
    HKEY key = create_key(HTTPS_KEY);
    if (key == nullptr) return false;
    const BYTE one[4] = {1, 0, 0, 0};
    const LONG result = RegSetValueExA(key, HTTPS_INSPECT_VALUE, 0, REG_DWORD, one, sizeof one);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
  }
  HKEY key;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, HTTPS_KEY, 0, KEY_ALL_ACCESS, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  const LONG deleted = RegDeleteValueA(key, HTTPS_INSPECT_VALUE);
  char name[256];
  DWORD name_size = sizeof name;
  const bool has_values = RegEnumValueA(key, 0, name, &name_size, nullptr, nullptr, nullptr,
                                        nullptr) != ERROR_NO_MORE_ITEMS;
  name_size = sizeof name;
  const bool has_keys = RegEnumKeyExA(key, 0, name, &name_size, nullptr, nullptr, nullptr,
                                      nullptr) != ERROR_NO_MORE_ITEMS;
  RegCloseKey(key);
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) return false;
  if (!has_values && !has_keys) RegDeleteTreeA(HKEY_LOCAL_MACHINE, HTTPS_KEY);
  return true;
}
