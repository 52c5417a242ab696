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
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

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
