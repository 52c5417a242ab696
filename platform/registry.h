// The registry: a persistent, machine-wide tree of keys holding named, typed
// values, kept in an SQLite database inside the machine's folder
// (platform/paths.h). The calls mirror the original desktop's registry API,
// trimmed to what Vellomar uses.
//
// Contract
// - Four roots, each its own tree: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,
//   HKEY_USERS, HKEY_CURRENT_CONFIG (and HKEY_CLASSES_ROOT, a fifth tree of
//   its own). Sub-key paths use "\" between names; a key name is at most 255
//   characters, a value name at most 16383, value data at most 64 MiB
//   (longer ones give ERROR_INVALID_PARAMETER). A key lies at most 512 names
//   below its root: creating a deeper one gives ERROR_INVALID_PARAMETER.
//   A key created or a value set
//   may not have a CR or LF in its name (ERROR_INVALID_PARAMETER), so that
//   everything stored can be exported as registry text.
// - Key and value names are matched without regard to ASCII letter case and
//   keep the case they were created with. The empty value name is the key's
//   default value.
// - Every call is one transaction: a crash never leaves a value half-written,
//   and several processes and threads may read and write at once (a writer
//   waits for another writer for a few seconds before failing).
// - A handle returned by RegOpenKeyExA/RegCreateKeyExA is owned by the caller
//   and must be released with RegCloseKey. A handle may be used by one thread
//   at a time; different handles may be used from different threads at once.
// - Calls report ERROR_SUCCESS or an error code (win32.h); they never throw.
//   A handle whose key another process or thread has deleted stays safe to
//   use: its calls fail with ERROR_FILE_NOT_FOUND. ERROR_CANTREAD and
//   ERROR_CANTWRITE report a registry that cannot be read or written (the
//   database cannot be opened, or another writer held it too long). A
//   database file found damaged when it is opened is moved aside (kept,
//   with the time in its name), a new, empty registry takes its place and
//   the program says so on stderr.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

constexpr LONG ERROR_CANTREAD = 1012;

struct RegistryKey;
using HKEY = RegistryKey*;

// The predefined roots. They need no opening and RegCloseKey ignores them.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});
inline HKEY const HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(std::uintptr_t{0x80000005});

// Access rights. KEY_READ allows queries and enumeration, KEY_WRITE setting and
// deleting values and creating sub-keys; a call that needs a right the handle
// lacks fails with ERROR_ACCESS_DENIED. Opening needs no right of the parent
// handle; creating needs KEY_CREATE_SUB_KEY, deleting a tree KEY_SET_VALUE.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types. Any other type number is stored and returned as raw bytes.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key; fails with ERROR_FILE_NOT_FOUND when it is missing.
// A null or empty sub_key opens `key` itself again.
LONG RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM sam, HKEY* result);

// Opens a key, creating it and any missing parents first. `disposition` may be
// null; otherwise it receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LONG RegCreateKeyExA(HKEY key, const char* sub_key, DWORD reserved, char* class_name, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition);

// Reads a value. `type` and `data` may be null. On entry *data_size is the
// capacity of `data`; on return it is the value's size in bytes. When the
// capacity is too small the call fails with ERROR_MORE_DATA and writes nothing
// into `data`. A missing value gives ERROR_FILE_NOT_FOUND.
LONG RegQueryValueExA(HKEY key, const char* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* data_size);

// Creates or replaces a value with `size` bytes of `data` (for REG_SZ the
// caller includes the terminating zero, as the original does).
LONG RegSetValueExA(HKEY key, const char* value_name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);

// Names the sub-key at `index` (in order of name, compared without case).
// On entry *name_size is the capacity of `name` in characters, including the
// terminating zero; on success it is the name's length without it. An index
// past the end gives ERROR_NO_MORE_ITEMS; a name that does not fit gives
// ERROR_MORE_DATA. The trailing parameters are accepted and ignored.
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved,
                   char* class_name, DWORD* class_size, void* last_write_time);

// Names the value at `index`, like RegEnumKeyExA; `type`, `data` and
// `data_size` may be null (names only).
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_size);

LONG RegDeleteValueA(HKEY key, const char* value_name);

// Deletes a key with all its sub-keys and values (used by the registry tool).
// With a null or empty sub_key, `key` itself stays and loses its contents; a
// root is never deleted, only emptied.
LONG RegDeleteTreeA(HKEY key, const char* sub_key);

LONG RegCloseKey(HKEY key);

// Registry calls for the platform's own tools (vmreg), beyond what the
// programs of the original desktop use: running many calls as one
// transaction, and reading names and data of any length.
//
// Contract
// - begin_transaction() starts a transaction on the calling thread's registry
//   connection; every Reg* call the same thread makes until end_transaction()
//   joins it instead of committing on its own. Other threads and processes see
//   none of its changes until end_transaction(true), and all of them or none
//   afterwards. Transactions do not nest.
// - After any failed call inside a write transaction the caller should end it
//   with end_transaction(false): a failed call may have done part of its work.
// - The transaction belongs to the thread that began it; a thread that ends
//   without ending it has it rolled back. It holds one of the process's
//   kMaxConnections connections until it ends; other threads' calls wait
//   while all of them are taken.

namespace platform::registry {

// Connections to the registry a process keeps open at most.
constexpr std::size_t kMaxConnections = 8;
// Deepest key: names below the root, as the original registry allows.
constexpr std::size_t kMaxKeyDepth = 512;

// Called, from the thread that noticed, after a damaged registry file was
// moved aside and a new one started; `message` says where the old one went.
// Messages go to stderr as well. Set it before any registry call.
void set_damage_listener(void (*listener)(const std::string& message));

// `write` takes the write lock at once (waiting for other writers as any
// write does); otherwise the transaction reads one consistent snapshot.
LONG begin_transaction(bool write);
// Commits (`commit`) or rolls back the transaction of this thread.
LONG end_transaction(bool commit);

// Opens `sub_key` of `key` like RegOpenKeyExA and also gives the path of the
// opened key below `key` as stored, in the letter case it was created with.
LONG open_key_stored_case(HKEY key, const char* sub_key, REGSAM sam, HKEY* result,
                          std::string* stored_path);

// RegEnumKeyExA and RegEnumValueA without buffer limits.
LONG enum_key_name(HKEY key, DWORD index, std::string* name);
LONG enum_value(HKEY key, DWORD index, std::string* name, DWORD* type, std::vector<BYTE>* data);

// The predefined root for a root name: the full names (HKEY_LOCAL_MACHINE)
// and the short ones (HKLM, HKCU, HKU, HKCC, HKCR), without regard to case.
// Null for any other name.
HKEY root_by_name(std::string_view name);
// The full name of a predefined root ("HKEY_LOCAL_MACHINE"); empty for any
// other handle.
std::string_view root_name(HKEY root);

}  // namespace platform::registry
