// Internet Explorer's proxy settings: every place in the registry where the
// browser keeps them (the current user, every user hive, the dial-up entries
// of the current and the default user, the hardware profiles, the current
// configuration) is pointed at 127.0.0.1:8000, or that proxy is switched off.
//
// Only the product's Install key is ever created; the browser's keys are only
// opened, so a missing key is skipped and never made up. Enumerations go by
// index and stop at the first call that fails (no more items, or a name that
// does not fit the name buffer). A key path is built by appending a fixed
// suffix to an enumerated name in that name's buffer; when the result would
// not fit, that one item is skipped and the enumeration goes on.
#include "browsercfg/ie_proxy.h"

#include <cstring>

#include "platform/registry.h"
#include "settings/registry_settings.h"

namespace {

// Written as ProxyServer in both modes; off is said by ProxyEnable and by the
// connection record's flags alone.
constexpr char PROXY_SERVER_STRING[] = "http=127.0.0.1:8000;https=127.0.0.1:8000";
constexpr DWORD PROXY_SERVER_SIZE = sizeof PROXY_SERVER_STRING;  // 41, with the zero
constexpr std::size_t PROXY_STRING_LENGTH = PROXY_SERVER_SIZE - 1;

// The per-connection record the browser keeps in the Connections key under
// Internet Settings, one value per connection. Integers are 32-bit
// little-endian.
constexpr std::size_t CONNECTION_RECORD_SIZE = 92;
constexpr std::size_t RECORD_STRING_OFFSET = 16;

constexpr BYTE CONNECTION_RECORD_ON[CONNECTION_RECORD_SIZE] = {
    0x3C, 0, 0, 0,  // record format identifier: 60
    1, 0, 0, 0,     // change counter: a constant, never incremented
    3, 0, 0, 0,     // connection flags: 1 direct | 2 use the proxy server
    40, 0, 0, 0,    // length of the proxy server string that follows
    // proxy server string, 40 characters, no terminating zero
    'h', 't', 't', 'p', '=', '1', '2', '7', '.', '0', '.', '0', '.', '1', ':', '8', '0', '0', '0',
    ';', 'h', 't', 't', 'p', 's', '=', '1', '2', '7', '.', '0', '.', '0', '.', '1', ':', '8', '0',
    '0', '0',
    // bypass list length, automatic configuration script length and the
    // remaining fields: all zero
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0};

constexpr BYTE CONNECTION_RECORD_OFF[CONNECTION_RECORD_SIZE] = {
    0x3C, 0, 0, 0,  // record format identifier: 60
    2, 0, 0, 0,     // change counter: a constant, never incremented
    1, 0, 0, 0,     // connection flags: 1 direct only
    40, 0, 0, 0,    // length of the proxy server string that follows
    // proxy server string, 40 characters, no terminating zero
    'h', 't', 't', 'p', '=', '1', '2', '7', '.', '0', '.', '0', '.', '1', ':', '8', '0', '0', '0',
    ';', 'h', 't', 't', 'p', 's', '=', '1', '2', '7', '.', '0', '.', '0', '.', '1', ':', '8', '0',
    '0', '0',
    // bypass list length, automatic configuration script length and the
    // remaining fields: all zero
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0};

constexpr bool record_holds_proxy_string(const BYTE* record) {
  for (std::size_t i = 0; i < PROXY_STRING_LENGTH; ++i) {
    if (record[RECORD_STRING_OFFSET + i] != static_cast<BYTE>(PROXY_SERVER_STRING[i])) return false;
  }
  return record[12] == PROXY_STRING_LENGTH;
}
static_assert(record_holds_proxy_string(CONNECTION_RECORD_ON));
static_assert(record_holds_proxy_string(CONNECTION_RECORD_OFF));

// The value that holds the record in each dial-up profile key. Nothing reads
// it back; the name only has to be recognisably ours.
constexpr char DIALUP_PROFILE_VALUE[] = "Vellomar Proxy Settings";

constexpr char PROXY_SERVER_VALUE[] = "ProxyServer";
constexpr char PROXY_ENABLE_VALUE[] = "ProxyEnable";

constexpr char DIALUP_PROFILES_KEY[] = "RemoteAccess\\Profile";
constexpr char DIALUP_ENTRIES_KEY[] = "RemoteAccess\\Addresses";
constexpr char DEFAULT_USER_DIALUP_ENTRIES_KEY[] = ".DEFAULT\\RemoteAccess\\Addresses";
constexpr char INTERNET_SETTINGS_KEY[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char LAN_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\LAN";
constexpr char CONNECTIONS_KEY[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr char HARDWARE_PROFILES_KEY[] = "Config";

// Suffixes appended to an enumerated user hive or hardware profile name.
constexpr char INTERNET_SETTINGS_SUFFIX[] =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char LAN_SUFFIX[] =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\LAN";
constexpr char CONNECTIONS_SUFFIX[] =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

constexpr DWORD NAME_CAPACITY = static_cast<DWORD>(NAME_BUFFER_SIZE);

struct Mode {
  const BYTE* record;
  DWORD proxy_enable;
};

// Names the sub-key at `index` into `name` (NAME_BUFFER_SIZE characters) and
// its length into *length; false at the end or on any failure.
bool enum_key_name(HKEY key, DWORD index, char* name, DWORD* length) {
  *length = NAME_CAPACITY;
  return RegEnumKeyExA(key, index, name, length, nullptr, nullptr, nullptr, nullptr) ==
             ERROR_SUCCESS &&
         *length < NAME_CAPACITY;
}

// The same for the value at `index`; names only.
bool enum_value_name(HKEY key, DWORD index, char* name, DWORD* length) {
  *length = NAME_CAPACITY;
  return RegEnumValueA(key, index, name, length, nullptr, nullptr, nullptr, nullptr) ==
             ERROR_SUCCESS &&
         *length < NAME_CAPACITY;
}

// Puts `suffix` after the `length` characters of `name`; false, leaving the
// name as it was, when the result would not fit NAME_BUFFER_SIZE.
bool append_suffix(char* name, DWORD length, const char* suffix) {
  std::size_t suffix_length = std::strlen(suffix);
  if (length + suffix_length >= NAME_BUFFER_SIZE) return false;
  std::memcpy(name + length, suffix, suffix_length + 1);
  return true;
}

void set_record(HKEY key, const char* value_name, const Mode& mode) {
  RegSetValueExA(key, value_name, 0, REG_BINARY, mode.record,
                 static_cast<DWORD>(CONNECTION_RECORD_SIZE));
}

// ProxyServer, then ProxyEnable, into an existing key.
void write_proxy_pair(HKEY root, const char* path, const Mode& mode) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  RegSetValueExA(key, PROXY_SERVER_VALUE, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(PROXY_SERVER_STRING), PROXY_SERVER_SIZE);
  const BYTE enable_bytes[4] = {static_cast<BYTE>(mode.proxy_enable & 0xFF),
                                static_cast<BYTE>((mode.proxy_enable >> 8) & 0xFF),
                                static_cast<BYTE>((mode.proxy_enable >> 16) & 0xFF),
                                static_cast<BYTE>((mode.proxy_enable >> 24) & 0xFF)};
  RegSetValueExA(key, PROXY_ENABLE_VALUE, 0, REG_DWORD, enable_bytes, sizeof enable_bytes);
  RegCloseKey(key);
}

// Sets the value `value_name` of an existing key to the record.
void write_record(HKEY root, const char* path, const char* value_name, const Mode& mode) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  set_record(key, value_name, mode);
  RegCloseKey(key);
}

// Overwrites every value of an existing key with the record, under its own
// name. No value is added or removed, so enumerating by index stays valid.
void rewrite_all_records(HKEY root, const char* path, const Mode& mode) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return;
  char value_name[NAME_BUFFER_SIZE];
  DWORD length = 0;
  for (DWORD index = 0; enum_value_name(key, index, value_name, &length); ++index) {
    set_record(key, value_name, mode);
  }
  RegCloseKey(key);
}

// Each dial-up profile key of the current user gets the record.
void write_dialup_profiles(const Mode& mode) {
  HKEY profiles = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, DIALUP_PROFILES_KEY, 0, KEY_READ, &profiles) !=
      ERROR_SUCCESS) {
    return;
  }
  char profile[NAME_BUFFER_SIZE];
  DWORD length = 0;
  for (DWORD index = 0; enum_key_name(profiles, index, profile, &length); ++index) {
    write_record(profiles, profile, DIALUP_PROFILE_VALUE, mode);
  }
  RegCloseKey(profiles);
}

// Each dial-up connection named under `entries_path` gets a record of its own
// name in the current user's Connections key and in every user's.
void write_dialup_connections(HKEY root, const char* entries_path, const Mode& mode) {
  HKEY entries = nullptr;
  if (RegOpenKeyExA(root, entries_path, 0, KEY_READ, &entries) != ERROR_SUCCESS) return;
  char connection[NAME_BUFFER_SIZE];
  DWORD connection_length = 0;
  for (DWORD index = 0; enum_value_name(entries, index, connection, &connection_length); ++index) {
    write_record(HKEY_CURRENT_USER, CONNECTIONS_KEY, connection, mode);

    char user_path[NAME_BUFFER_SIZE];
    DWORD user_length = 0;
    for (DWORD user = 0; enum_key_name(HKEY_USERS, user, user_path, &user_length); ++user) {
      if (append_suffix(user_path, user_length, CONNECTIONS_SUFFIX)) {
        write_record(HKEY_USERS, user_path, connection, mode);
      }
    }
  }
  RegCloseKey(entries);
}

// Internet Settings, LAN and the connection records of every user hive.
void write_user_hives(const Mode& mode) {
  char user_path[NAME_BUFFER_SIZE];
  DWORD user_length = 0;
  for (DWORD user = 0; enum_key_name(HKEY_USERS, user, user_path, &user_length); ++user) {
    if (append_suffix(user_path, user_length, INTERNET_SETTINGS_SUFFIX)) {
      write_proxy_pair(HKEY_USERS, user_path, mode);
    }
    if (append_suffix(user_path, user_length, LAN_SUFFIX)) {
      write_proxy_pair(HKEY_USERS, user_path, mode);
    }
    if (append_suffix(user_path, user_length, CONNECTIONS_SUFFIX)) {
      rewrite_all_records(HKEY_USERS, user_path, mode);
    }
  }
}

// Internet Settings of every hardware profile.
void write_hardware_profiles(const Mode& mode) {
  HKEY profiles = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, HARDWARE_PROFILES_KEY, 0, KEY_READ, &profiles) !=
      ERROR_SUCCESS) {
    return;
  }
  char profile_path[NAME_BUFFER_SIZE];
  DWORD length = 0;
  for (DWORD index = 0; enum_key_name(profiles, index, profile_path, &length); ++index) {
    if (append_suffix(profile_path, length, INTERNET_SETTINGS_SUFFIX)) {
      write_proxy_pair(profiles, profile_path, mode);
    }
  }
  RegCloseKey(profiles);
}

}  // namespace

void configure_ie_proxy(int enable) {
  const Mode mode = enable != 0 ? Mode{CONNECTION_RECORD_ON, 1} : Mode{CONNECTION_RECORD_OFF, 0};

  write_install_flag(Browser::InternetExplorer, enable);
  write_dialup_profiles(mode);
  write_dialup_connections(HKEY_CURRENT_USER, DIALUP_ENTRIES_KEY, mode);
  write_dialup_connections(HKEY_USERS, DEFAULT_USER_DIALUP_ENTRIES_KEY, mode);
  write_user_hives(mode);
  write_hardware_profiles(mode);
  rewrite_all_records(HKEY_CURRENT_USER, CONNECTIONS_KEY, mode);
  write_proxy_pair(HKEY_CURRENT_CONFIG, INTERNET_SETTINGS_KEY, mode);
  write_proxy_pair(HKEY_CURRENT_USER, INTERNET_SETTINGS_KEY, mode);
  write_proxy_pair(HKEY_CURRENT_USER, LAN_KEY, mode);
}
