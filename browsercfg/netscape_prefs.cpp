// Netscape's proxy preferences: five user_pref lines appended to the Prefs.js
// of every Netscape profile of the current user. The browser takes the last
// setting of a preference in the file, so appending is enough and earlier
// lines stay untouched.
//
// A preference file path that would not fit the path buffer is skipped rather
// than cut (a cut path would name some other file). When the program
// directory cannot be read whole, or does not fit the buffer with the
// profiles folder appended, no file is touched at all for the same reason.
#include "browsercfg/netscape_prefs.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/registry.h"
#include "settings/registry_settings.h"

namespace {

constexpr char MAIN_KEY[] = "Software\\Netscape\\Netscape Navigator\\Main";
constexpr char INSTALL_DIRECTORY_VALUE[] = "Install Directory";
constexpr char PROFILES_KEY[] = "Software\\Netscape\\Netscape Navigator\\biff\\users";
// The profiles folder, relative to the program directory.
constexpr char PROFILES_FOLDER[] = "\\..\\Users\\";
constexpr char PREFS_FILE_FORMAT[] = "%s%s\\Prefs.js";

constexpr DWORD NAME_CAPACITY = static_cast<DWORD>(NAME_BUFFER_SIZE);

// Reads the program directory into `directory` (NAME_BUFFER_SIZE characters),
// always zero-terminated. Empty when the key or the value is missing; false
// when the value exists but cannot be read whole into the buffer.
bool read_program_directory(char* directory) {
  directory[0] = '\0';
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, MAIN_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return true;
  // One byte is kept back for a terminator the stored value may lack.
  DWORD size = NAME_CAPACITY - 1;
  LONG result = RegQueryValueExA(key, INSTALL_DIRECTORY_VALUE, nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(directory), &size);
  RegCloseKey(key);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS || size > NAME_CAPACITY - 1) {
    directory[0] = '\0';
    return false;
  }
  directory[size] = '\0';
  return true;
}

void append_preferences(FILE* file, int enable) {
  std::fputs("user_pref(\"network.proxy.http\", \"127.0.0.1\");\n", file);
  std::fputs("user_pref(\"network.proxy.http_port\", 8000);\n", file);
  std::fputs("user_pref(\"network.proxy.ssl\", \"127.0.0.1\");\n", file);
  std::fputs("user_pref(\"network.proxy.ssl_port\", 8000);\n", file);
  std::fprintf(file, "user_pref(\"network.proxy.type\", %d);\n", enable);
}

}  // namespace

void configure_netscape_proxy(int enable) {
  write_install_flag(Browser::Netscape, enable);

  char directory[NAME_BUFFER_SIZE];
  if (!read_program_directory(directory)) return;
  std::size_t directory_length = std::strlen(directory);
  if (directory_length + sizeof PROFILES_FOLDER > NAME_BUFFER_SIZE) return;
  std::memcpy(directory + directory_length, PROFILES_FOLDER, sizeof PROFILES_FOLDER);

  HKEY profiles = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, PROFILES_KEY, 0, KEY_READ, &profiles) != ERROR_SUCCESS) {
    return;
  }
  char profile[NAME_BUFFER_SIZE];
  char path[NAME_BUFFER_SIZE];
  for (DWORD index = 0;; ++index) {
    DWORD length = NAME_CAPACITY;
    if (RegEnumKeyExA(profiles, index, profile, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS ||
        length >= NAME_CAPACITY) {
      break;
    }
    for (DWORD i = 0; i < length; ++i) {
      if (profile[i] == ' ') profile[i] = '_';
    }
    int path_length = std::snprintf(path, sizeof path, PREFS_FILE_FORMAT, directory, profile);
    if (path_length < 0 || static_cast<std::size_t>(path_length) >= sizeof path) continue;
    FILE* file = open_file(path, "a");
    if (file == nullptr) continue;
    append_preferences(file, enable);
    std::fclose(file);
  }
  RegCloseKey(profiles);
}
