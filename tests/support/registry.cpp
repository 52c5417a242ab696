// Registry helpers for tests.
#include "tests/support/registry.h"

#include <gtest/gtest.h>

namespace vmtest {

const RegRoot REG_ROOTS[4] = {{HKEY_LOCAL_MACHINE, "HKLM"},
                              {HKEY_CURRENT_USER, "HKCU"},
                              {HKEY_USERS, "HKU"},
                              {HKEY_CURRENT_CONFIG, "HKCC"}};

namespace {

// Longest key or value name the registry stores, with its terminating zero.
constexpr DWORD NAME_BUFFER = 32768;

void snapshot_key(HKEY key, const std::string& path, RegSnapshot* snapshot) {
  auto& values = (*snapshot)[path];
  std::vector<char> name(NAME_BUFFER);
  for (DWORD index = 0;; ++index) {
    DWORD size = NAME_BUFFER;
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
    DWORD size = NAME_BUFFER;
    if (RegEnumKeyExA(key, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::string child_name = name.data();
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, child_name.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
      snapshot_key(child, path + "\\" + child_name, snapshot);
      RegCloseKey(child);
    }
  }
}

}  // namespace

HKEY root_key(const std::string& name) {
  for (const RegRoot& root : REG_ROOTS) {
    if (name == root.name) return root.key;
  }
  ADD_FAILURE() << "unknown root " << name;
  return HKEY_LOCAL_MACHINE;
}

RegSnapshot take_snapshot() {
  RegSnapshot snapshot;
  for (const RegRoot& root : REG_ROOTS) snapshot_key(root.key, root.name, &snapshot);
  return snapshot;
}

std::vector<std::string> key_names(const RegSnapshot& snapshot) {
  std::vector<std::string> names;
  for (const auto& entry : snapshot) names.push_back(entry.first);
  return names;
}

void empty_registry() {
  std::vector<char> name(NAME_BUFFER);
  for (const RegRoot& root : REG_ROOTS) {
    for (;;) {
      DWORD size = NAME_BUFFER;
      if (RegEnumKeyExA(root.key, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      ASSERT_EQ(RegDeleteTreeA(root.key, name.data()), ERROR_SUCCESS) << name.data();
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(root.key, nullptr, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) continue;
    std::vector<std::string> values;
    for (DWORD index = 0;; ++index) {
      DWORD size = NAME_BUFFER;
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

void create_key(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  RegCloseKey(key);
}

void set_value(HKEY root, const std::string& path, const std::string& name, DWORD type,
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

std::vector<BYTE> sz_bytes(const std::string& text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

void set_string(HKEY root, const std::string& path, const std::string& name,
                const std::string& text) {
  set_value(root, path, name, REG_SZ, sz_bytes(text));
}

RegValue read_value(HKEY root, const std::string& path, const std::string& name) {
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

std::string value_text(HKEY root, const std::string& path, const std::string& name) {
  const RegValue value = read_value(root, path, name);
  if (value.type == REG_NONE && value.data.empty()) return "<none>";
  return std::string(value.data.begin(), value.data.end()).c_str();
}

}  // namespace vmtest
