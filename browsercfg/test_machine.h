// Test support for the browser configuration: a throw-away machine folder
// for the whole test program, a registry emptied before every test, and
// helpers to seed keys and to take a snapshot of every key and value.
//
// The machine folder is chosen once, before the first registry call, and
// kept for the program's lifetime; tests empty it instead of replacing it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"

namespace browsercfg_test {

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  bool operator==(const RegValue&) const = default;
};

// Every key, as "ROOT\path", with its values by name.
using RegSnapshot = std::map<std::string, std::map<std::string, RegValue>>;

struct Root {
  HKEY key;
  const char* name;
};
inline const Root ROOTS[] = {{HKEY_LOCAL_MACHINE, "HKLM"},
                             {HKEY_CURRENT_USER, "HKCU"},
                             {HKEY_USERS, "HKU"},
                             {HKEY_CURRENT_CONFIG, "HKCC"}};

inline void snapshot_key(HKEY key, const std::string& path, RegSnapshot* snapshot) {
  auto& values = (*snapshot)[path];
  std::vector<char> name(32768);
  for (DWORD index = 0;; ++index) {
    DWORD size = static_cast<DWORD>(name.size());
    DWORD type = 0;
    if (RegEnumValueA(key, index, name.data(), &size, nullptr, &type, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    RegValue value;
    value.type = type;
    DWORD data_size = 0;
    RegQueryValueExA(key, name.data(), nullptr, nullptr, nullptr, &data_size);
    value.data.resize(data_size);
    RegQueryValueExA(key, name.data(), nullptr, nullptr, value.data.data(), &data_size);
    values[name.data()] = value;
  }
  for (DWORD index = 0;; ++index) {
    DWORD size = static_cast<DWORD>(name.size());
    if (RegEnumKeyExA(key, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    std::string child_name = name.data();
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, child_name.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
      snapshot_key(child, path + "\\" + child_name, snapshot);
      RegCloseKey(child);
    }
  }
}

inline RegSnapshot take_snapshot() {
  RegSnapshot snapshot;
  for (const Root& root : ROOTS) snapshot_key(root.key, root.name, &snapshot);
  return snapshot;
}

inline std::vector<std::string> key_names(const RegSnapshot& snapshot) {
  std::vector<std::string> names;
  for (const auto& entry : snapshot) names.push_back(entry.first);
  return names;
}

inline HKEY root_key(const std::string& name) {
  for (const Root& root : ROOTS) {
    if (name == root.name) return root.key;
  }
  ADD_FAILURE() << "unknown root " << name;
  return HKEY_LOCAL_MACHINE;
}

inline void create_key(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  RegCloseKey(key);
}

inline void set_value(HKEY root, const std::string& path, const std::string& name, DWORD type,
                      const std::vector<BYTE>& data) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  EXPECT_EQ(
      RegSetValueExA(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())),
      ERROR_SUCCESS)
      << path << " " << name;
  RegCloseKey(key);
}

inline std::vector<BYTE> sz_bytes(const std::string& text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

inline void set_string(HKEY root, const std::string& path, const std::string& name,
                       const std::string& text) {
  set_value(root, path, name, REG_SZ, sz_bytes(text));
}

// The value as stored, or a REG_NONE value without data when it is missing.
inline RegValue read_value(HKEY root, const std::string& path, const std::string& name) {
  RegValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  DWORD size = 0;
  DWORD type = REG_NONE;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    value.type = type;
    value.data.resize(size);
    RegQueryValueExA(key, name.c_str(), nullptr, nullptr, value.data.data(), &size);
  }
  RegCloseKey(key);
  return value;
}

inline std::string read_file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file_bytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// The machine folder of this test program; set up by MachineEnvironment.
inline std::filesystem::path& machine_dir() {
  static std::filesystem::path dir;
  return dir;
}

// Chooses a fresh machine folder and moves into C:\Work inside it, before any
// test makes a registry call.
class MachineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vm-browsercfg-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    machine_dir() = pattern;
    ASSERT_EQ(setenv("VELLOMAR_PREFIX", pattern.c_str(), 1), 0);
    // The desktop side of the browser switches acts on $HOME: keep it here.
    setenv("HOME", pattern.c_str(), 1);
    setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
    unsetenv("XDG_CURRENT_DESKTOP");
    std::filesystem::create_directories(machine_dir() / "drive_c" / "Work");
    std::filesystem::current_path(machine_dir() / "drive_c" / "Work");
  }
  void TearDown() override {
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::error_code ignored;
    std::filesystem::remove_all(machine_dir(), ignored);
  }
};

inline const ::testing::Environment* const machine_environment =
    ::testing::AddGlobalTestEnvironment(new MachineEnvironment);

// Empties the registry and the drives (but C:\Work, the current directory)
// before each test.
class EmptyMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const Root& root : ROOTS) {
      std::vector<char> name(32768);
      for (;;) {
        DWORD size = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(root.key, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
          break;
        }
        ASSERT_EQ(RegDeleteTreeA(root.key, name.data()), ERROR_SUCCESS) << name.data();
      }
      HKEY key = nullptr;
      if (RegOpenKeyExA(root.key, nullptr, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        std::vector<std::string> values;
        for (DWORD index = 0;; ++index) {
          DWORD size = static_cast<DWORD>(name.size());
          if (RegEnumValueA(key, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr) !=
              ERROR_SUCCESS) {
            break;
          }
          values.push_back(name.data());
        }
        for (const std::string& value : values) RegDeleteValueA(key, value.c_str());
        RegCloseKey(key);
      }
    }
    ASSERT_EQ(take_snapshot().size(), 4u);
    for (const auto& entry : std::filesystem::directory_iterator(machine_dir())) {
      std::string name = entry.path().filename().string();
      if (name.rfind("drive_", 0) == 0 && name != "drive_c") std::filesystem::remove_all(entry);
    }
    for (const auto& entry : std::filesystem::directory_iterator(machine_dir() / "drive_c")) {
      if (entry.path().filename() != "Work") std::filesystem::remove_all(entry);
    }
  }

  // Files under the machine folder's drives, relative to it, with contents.
  static std::map<std::string, std::string> drive_files() {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(machine_dir())) {
      std::string relative = std::filesystem::relative(entry.path(), machine_dir()).string();
      if (relative.rfind("drive_", 0) != 0) continue;
      files[relative] = entry.is_regular_file() ? read_file_bytes(entry.path()) : "<dir>";
    }
    return files;
  }
};

}  // namespace browsercfg_test
