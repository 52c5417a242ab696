// Registry text: the .reg file format that vmreg imports and exports.
//
// Reading accepts the two usual headers, "REGEDIT4" and "Windows Registry
// Editor Version 5.00" (the latter also as UTF-16LE with a byte order mark;
// its hex(1), hex(2) and hex(7) data, UTF-16 text there, is stored as UTF-8),
// [KEY] and [-KEY] sections, "name"="text", @= for the default value,
// dword:, hex: and hex(N): data with "\" line continuations, "name"=- to
// delete a value, ; comments, blank lines, and CR LF or LF line ends.
//
// Writing produces REGEDIT4 text with LF line ends that reading turns back
// into exactly the same keys and values: full key paths in their stored case,
// every key (empty ones too), REG_SZ as "text" only when that is exact, and
// everything else as dword: or hex bytes.
//
// The functions hold no state; apply_changes() and the export functions use
// the calling thread's registry connection (registry.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform::registry_text {

// One change a registry file asks for, in file order.
struct Change {
  enum class Kind { kOpenKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = Kind::kOpenKey;
  // kOpenKey and kDeleteKey: the key. kSetValue and kDeleteValue act on the
  // key of the last kOpenKey.
  HKEY root = nullptr;
  std::string path;  // below the root; empty for the root itself
  std::string name;  // value name; empty for the default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  int line = 0;  // where the change is written, counting from 1
};

struct ParseError {
  int line = 0;
  std::string message;
};

// Reads registry text. On success fills `changes`; otherwise names the first
// fault in `error` and returns false.
bool parse(std::string_view text, std::vector<Change>* changes, ParseError* error);

// Makes all `changes` in one transaction: all of them or, when one fails,
// none. Deleting a key or value that does not exist is not a failure. On
// failure *failed_line is the line of the change that failed.
LONG apply_changes(const std::vector<Change>& changes, int* failed_line);

// Splits a full key name ("HKEY_LOCAL_MACHINE\Software\X", "HKLM\Software")
// into its root and the path below it. False for an unknown root or an empty
// name within the path.
bool split_key_name(std::string_view full_name, HKEY* root, std::string* path);

// The registry text of every key of every root. False, with a message in
// `error`, when the registry cannot be read or holds a name that registry
// text cannot carry (a line break).
bool export_all(std::string* out, std::string* error);

// The registry text of one key and all keys below it. A missing key gives
// false and ERROR_FILE_NOT_FOUND in *code.
bool export_key(HKEY root, const std::string& path, std::string* out, std::string* error,
                LONG* code);

}  // namespace platform::registry_text
