// Fuzzes what "vmreg import" does with a file: reading registry text into
// changes and applying them in one transaction. Checks that a refused file
// names a line inside it and changes nothing; that every change names a line
// inside the file and no key or value name holding a zero byte; that
// whatever an import made can be exported; and the round trip "vmreg export"
// promises: the export of what an import made reads back into exactly the
// same export.
//
// The registry is a machine folder of this process's own; every input starts
// from an empty registry.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/registry.h"
#include "platform/registry_text.h"

namespace text = platform::registry_text;

namespace {

// Applying touches the database; keep each input's work bounded.
constexpr std::size_t MAX_CHANGES_APPLIED = 64;

// Removes every key below each root and every value on the roots themselves
// (a file may set values on a root, "[HKEY_LOCAL_MACHINE]").
void empty_registry() {
  static char name[32768];
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CURRENT_CONFIG,
                    HKEY_CLASSES_ROOT}) {
    for (;;) {
      DWORD size = sizeof name;
      if (RegEnumKeyExA(root, 0, name, &size, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      FUZZ_CHECK(RegDeleteTreeA(root, name) == ERROR_SUCCESS);
    }
    for (;;) {
      DWORD size = sizeof name;
      if (RegEnumValueA(root, 0, name, &size, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      FUZZ_CHECK(RegDeleteValueA(root, name) == ERROR_SUCCESS);
    }
  }
}

int line_count(std::string_view file) {
  int lines = 1;
  for (char c : file) lines += c == '\n';
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char prefix[] = "/tmp/vellomar-fuzz-vmreg.XXXXXX";
  if (mkdtemp(prefix) != nullptr) {
    setenv("VELLOMAR_PREFIX", prefix, 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(prefix, ignored);
    });
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  std::vector<text::Change> changes;
  text::ParseError error;
  if (!text::parse(file, &changes, &error)) {
    // UTF-16 files count lines in characters, not bytes: allow for both.
    FUZZ_CHECK(error.line >= 0 && error.line <= line_count(file));
    FUZZ_CHECK(!error.message.empty());
    return 0;
  }
  for (const text::Change& change : changes) {
    FUZZ_CHECK(change.line >= 1 && change.line <= line_count(file));
    // Names reach the registry as C strings: a zero byte would cut them
    // short and the change would land on another key or value.
    FUZZ_CHECK(change.path.find('\0') == std::string::npos);
    FUZZ_CHECK(change.name.find('\0') == std::string::npos);
    // Keys deeper than the registry allows are refused when read.
    if (change.kind == text::Change::Kind::kOpenKey && !change.path.empty()) {
      std::size_t depth = 1;
      for (char c : change.path) depth += c == '\\';
      FUZZ_CHECK(depth <= platform::registry::kMaxKeyDepth);
    }
  }
  if (changes.size() > MAX_CHANGES_APPLIED) return 0;

  empty_registry();
  int failed_line = 0;
  if (text::apply_changes(changes, &failed_line) != ERROR_SUCCESS) {
    // One transaction: nothing may have changed.
    std::string after;
    std::string message;
    const bool exported_after = text::export_all(&after, &message);
    if (!exported_after)
      std::fprintf(stderr, "export after a failed import: %s\n", message.c_str());
    FUZZ_CHECK(exported_after);
    std::string empty;
    empty_registry();
    FUZZ_CHECK(text::export_all(&empty, &message));
    FUZZ_CHECK(after == empty);
    return 0;
  }
  // Whatever an import accepts, export can write.
  std::string exported;
  std::string message;
  const bool exported_ok = text::export_all(&exported, &message);
  if (!exported_ok) std::fprintf(stderr, "export after an import: %s\n", message.c_str());
  FUZZ_CHECK(exported_ok);

  std::vector<text::Change> again;
  FUZZ_CHECK(text::parse(exported, &again, &error));
  empty_registry();
  FUZZ_CHECK(text::apply_changes(again, &failed_line) == ERROR_SUCCESS);
  std::string reexported;
  FUZZ_CHECK(text::export_all(&reexported, &message));
  FUZZ_CHECK(reexported == exported);
  return 0;
}
