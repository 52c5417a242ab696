// Registry helpers for tests: seed keys and values, read them back, take a
// snapshot of every key and value, and empty the machine's registry. They
// act on the registry of the machine VELLOMAR_PREFIX names, through the same
// calls the programs use. Seeding failures are reported as test failures.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace vmtest {

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  bool operator==(const RegValue&) const = default;
};

// Every key, as "ROOT\path", with its values by name.
using RegSnapshot = std::map<std::string, std::map<std::string, RegValue>>;

struct RegRoot {
  HKEY key;
  const char* name;  // HKLM, HKCU, HKU, HKCC
};
extern const RegRoot REG_ROOTS[4];

HKEY root_key(const std::string& name);
RegSnapshot take_snapshot();
std::vector<std::string> key_names(const RegSnapshot& snapshot);
// Deletes every key and value below the roots.
void empty_registry();

void create_key(HKEY root, const std::string& path);
// Creates the key as needed and stores the value.
void set_value(HKEY root, const std::string& path, const std::string& name, DWORD type,
               const std::vector<BYTE>& data);
void set_string(HKEY root, const std::string& path, const std::string& name,
                const std::string& text);
// The bytes of `text` with the terminating zero REG_SZ stores.
std::vector<BYTE> sz_bytes(const std::string& text);

// The value as stored, or a REG_NONE value without data when it is missing.
RegValue read_value(HKEY root, const std::string& path, const std::string& name);
// The text of a value up to its first zero byte; "<none>" when the key or the
// value is missing (or is an empty REG_NONE value).
std::string value_text(HKEY root, const std::string& path, const std::string& name);

}  // namespace vmtest
