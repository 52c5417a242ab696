// Registry text: reading .reg files into a list of changes, applying them in
// one transaction, and writing keys back out as REGEDIT4 text.
#include "platform/registry_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/registry.h"
#include "text/text_helpers.h"

namespace platform::registry_text {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
// Longest line of hex bytes written, with its "\" continuation.
constexpr std::size_t kHexLineWidth = 80;
// Roots in the order they are exported.
const HKEY* export_roots() {
  static const HKEY roots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS,
                               HKEY_CURRENT_CONFIG, HKEY_CLASSES_ROOT};
  return roots;
}
constexpr std::size_t kRootCount = 5;

// Bytes no key or value name may hold: a zero byte ends a name in the
// registry calls, and a line break cannot be written as registry text. (An LF
// never reaches a name, as it ends the line, but a lone CR inside one does.)
constexpr std::string_view kUnnameable("\0\r\n", 3);

const char* describe(char unnameable) {
  return unnameable == '\0' ? "a zero byte" : "a line break";
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view trim_front(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

void append_utf8(std::string* out, std::uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// UTF-16LE bytes (an even count) as UTF-8 into `out`. False at an unpaired
// surrogate, which UTF-8 cannot carry: `out` then holds the text before it
// and *bad_unit the surrogate.
bool utf16le_to_utf8(const unsigned char* bytes, std::size_t size, std::string* out,
                     std::uint32_t* bad_unit) {
  out->clear();
  out->reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    std::uint32_t unit = bytes[i] | (bytes[i + 1] << 8);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < size) {
      std::uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (unit >= 0xD800 && unit < 0xE000) {
      *bad_unit = unit;
      return false;
    }
    append_utf8(out, unit);
  }
  return true;
}

std::string surrogate_message(std::uint32_t unit) {
  char text[80];
  std::snprintf(text, sizeof text, "UTF-16 text with an unpaired surrogate (U+%04X)",
                static_cast<unsigned>(unit));
  return text;
}

// Names in a key path below its root.
std::size_t key_depth(const std::string& path) {
  if (path.empty()) return 0;
  return 1 + static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\'));
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

class Parser {
 public:
  Parser(std::vector<std::string_view> lines, std::vector<Change>* changes, ParseError* error)
      : lines_(std::move(lines)), changes_(changes), error_(error) {}

  bool run() {
    if (lines_.empty() || (trim(lines_[0]) != kHeader4 && trim(lines_[0]) != kHeader5)) {
      return fail(1,
                  "the first line must be \"REGEDIT4\" or \"Windows Registry Editor Version "
                  "5.00\"");
    }
    unicode_ = trim(lines_[0]) == kHeader5;
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      std::string_view line = trim(lines_[index_]);
      if (line.empty() || line[0] == ';') continue;
      bool ok = false;
      if (line[0] == '[') {
        ok = key_line(line);
      } else if (line[0] == '"' || line[0] == '@') {
        ok = value_line(line);
      } else {
        ok = fail("unrecognised line (expected [KEY], \"name\"=data or @=data)");
      }
      if (!ok) return false;
    }
    return true;
  }

 private:
  int line_number() const { return static_cast<int>(index_) + 1; }

  bool fail(int line, std::string message) {
    error_->line = line;
    error_->message = std::move(message);
    return false;
  }
  bool fail(std::string message) { return fail(line_number(), std::move(message)); }

  bool key_line(std::string_view line) {
    if (line.back() != ']') return fail("key name not closed with ']'");
    std::string_view name = line.substr(1, line.size() - 2);
    bool remove = !name.empty() && name[0] == '-';
    if (remove) name.remove_prefix(1);
    Change change;
    change.kind = remove ? Change::Kind::kDeleteKey : Change::Kind::kOpenKey;
    change.line = line_number();
    // The registry takes names as C strings, so a zero byte would cut the
    // name short and the changes would land on another key; a CR could
    // never be written back out.
    if (std::size_t bad = name.find_first_of(kUnnameable); bad != std::string_view::npos) {
      return fail(std::string("key name holds ") + describe(name[bad]));
    }
    if (!split_key_name(name, &change.root, &change.path)) {
      return fail("bad key name \"" + std::string(name) + "\" (unknown root or empty name)");
    }
    if (remove && change.path.empty()) return fail("a root key cannot be deleted");
    // Deeper keys made before the limit can still be deleted.
    if (!remove && key_depth(change.path) > registry::kMaxKeyDepth) {
      return fail("key nested deeper than " + std::to_string(registry::kMaxKeyDepth) + " levels");
    }
    in_key_ = !remove;
    after_deleted_key_ = remove;
    changes_->push_back(std::move(change));
    return true;
  }

  // Reads a quoted text at the start of `rest` (just past the opening quote
  // on return of false), undoing \\ and \" escapes.
  bool quoted(std::string_view* rest, std::string* out) {
    std::string_view text = *rest;
    out->clear();
    for (std::size_t i = 1; i < text.size(); ++i) {
      char c = text[i];
      if (c == '"') {
        rest->remove_prefix(i + 1);
        return true;
      }
      if (c == '\\') {
        if (i + 1 >= text.size()) break;
        char next = text[++i];
        if (next != '\\' && next != '"') {
          return fail(std::string("unknown escape \"\\") + next +
                      "\" (only \\\\ and \\\" are known)");
        }
        c = next;
      }
      out->push_back(c);
    }
    return fail("unterminated string (no closing '\"')");
  }

  bool value_line(std::string_view line) {
    if (after_deleted_key_) return fail("value under a deleted key");
    if (!in_key_) return fail("value before any [KEY] line");
    Change change;
    change.line = line_number();
    std::string_view rest = line;
    if (rest[0] == '@') {
      rest.remove_prefix(1);
    } else if (!quoted(&rest, &change.name)) {
      return false;
    } else if (std::size_t bad = change.name.find_first_of(kUnnameable); bad != std::string::npos) {
      return fail(std::string("value name holds ") + describe(change.name[bad]));
    }
    rest = trim_front(rest);
    if (rest.empty() || rest[0] != '=') return fail("expected '=' after the value name");
    rest = trim_front(rest.substr(1));
    if (rest == "-") {
      change.kind = Change::Kind::kDeleteValue;
      changes_->push_back(std::move(change));
      return true;
    }
    change.kind = Change::Kind::kSetValue;
    if (!rest.empty() && rest[0] == '"') {
      std::string text;
      if (!quoted(&rest, &text)) return false;
      if (!trim(rest).empty()) return fail("unexpected text after the closing '\"'");
      change.type = REG_SZ;
      change.data.assign(text.begin(), text.end());
      change.data.push_back(0);
    } else if (starts_with_ignoring_case(rest, "dword:")) {
      std::string_view digits = trim(rest.substr(6));
      if (digits.empty() || digits.size() > 8) {
        return fail("bad dword (expected 1 to 8 hex digits)");
      }
      DWORD value = 0;
      for (char c : digits) {
        int digit = hex_digit(c);
        if (digit < 0) return fail("bad dword (expected 1 to 8 hex digits)");
        value = value << 4 | static_cast<DWORD>(digit);
      }
      change.type = REG_DWORD;
      for (int i = 0; i < 4; ++i) change.data.push_back(static_cast<BYTE>(value >> (8 * i)));
    } else if (starts_with_ignoring_case(rest, "hex")) {
      rest.remove_prefix(3);
      change.type = REG_BINARY;
      if (!rest.empty() && rest[0] == '(') {
        std::size_t close = rest.find(')');
        std::string_view number =
            close == std::string_view::npos ? std::string_view() : rest.substr(1, close - 1);
        if (number.empty() || number.size() > 8) return fail("bad type number in hex(...)");
        change.type = 0;
        for (char c : number) {
          int digit = hex_digit(c);
          if (digit < 0) return fail("bad type number in hex(...)");
          change.type = change.type << 4 | static_cast<DWORD>(digit);
        }
        rest.remove_prefix(close + 1);
      }
      if (rest.empty() || rest[0] != ':') return fail("expected ':' after hex");
      rest.remove_prefix(1);
      if (!hex_bytes(rest, &change.data)) return false;
      if (unicode_ && change.data.size() % 2 == 0 &&
          (change.type == REG_SZ || change.type == REG_EXPAND_SZ || change.type == REG_MULTI_SZ)) {
        std::string text;
        std::uint32_t bad = 0;
        if (!utf16le_to_utf8(change.data.data(), change.data.size(), &text, &bad)) {
          return fail(change.line, surrogate_message(bad));
        }
        change.data.assign(text.begin(), text.end());
      }
    } else {
      return fail("unrecognised value data (expected \"text\", dword:, hex: or -)");
    }
    changes_->push_back(std::move(change));
    return true;
  }

  // Comma-separated bytes; a line ending in "\" continues on the next one.
  bool hex_bytes(std::string_view rest, std::vector<BYTE>* data) {
    bool after_comma = false;
    bool want_byte = true;
    while (true) {
      rest = trim(rest);
      if (rest.empty()) {
        if (after_comma) return fail("hex list ends with ','");
        return true;
      }
      if (rest[0] == '\\') {
        if (rest.size() != 1) return fail("unexpected text after '\\'");
        if (index_ + 1 >= lines_.size()) return fail("line continues past the end of the file");
        rest = lines_[++index_];
        continue;
      }
      if (want_byte) {
        int high = hex_digit(rest[0]);
        if (high < 0) return fail("bad hex byte (expected two hex digits)");
        int value = high;
        std::size_t used = 1;
        if (rest.size() > 1 && hex_digit(rest[1]) >= 0) {
          value = value * 16 + hex_digit(rest[1]);
          used = 2;
        }
        if (rest.size() > used && rest[used] != ',' && rest[used] != '\\' &&
            !is_blank(rest[used])) {
          return fail("bad hex byte (expected two hex digits)");
        }
        data->push_back(static_cast<BYTE>(value));
        rest.remove_prefix(used);
        want_byte = false;
        after_comma = false;
      } else if (rest[0] == ',') {
        rest.remove_prefix(1);
        want_byte = true;
        after_comma = true;
      } else {
        return fail("expected ',' between hex bytes");
      }
    }
  }

  std::vector<std::string_view> lines_;
  std::vector<Change>* changes_;
  ParseError* error_;
  std::size_t index_ = 0;
  bool unicode_ = false;
  bool in_key_ = false;
  bool after_deleted_key_ = false;
};

// --- writing ---

void append_quoted(std::string* out, std::string_view text) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

bool has_line_break(std::string_view text) {
  return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

// Text that reads back as exactly these bytes: one terminating zero, no
// other zero, and nothing that would end the line.
bool is_plain_text(const std::vector<BYTE>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0 || data[i] == '\n' || data[i] == '\r') return false;
  }
  return true;
}

void append_value(std::string* out, const std::string& name, DWORD type,
                  const std::vector<BYTE>& data) {
  std::size_t line_start = out->size();
  if (name.empty()) {
    out->push_back('@');
  } else {
    append_quoted(out, name);
  }
  out->push_back('=');
  if (type == REG_SZ && is_plain_text(data)) {
    append_quoted(out,
                  std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
    out->push_back('\n');
    return;
  }
  char buffer[32];
  if (type == REG_DWORD && data.size() == 4) {
    DWORD value = data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24;
    std::snprintf(buffer, sizeof buffer, "dword:%08x\n", value);
    out->append(buffer);
    return;
  }
  if (type == REG_BINARY) {
    out->append("hex:");
  } else {
    std::snprintf(buffer, sizeof buffer, "hex(%x):", type);
    out->append(buffer);
  }
  std::size_t column = out->size() - line_start;
  bool first_on_line = true;
  for (std::size_t i = 0; i < data.size(); ++i) {
    bool last = i + 1 == data.size();
    // Room for "xx," and the continuation "\".
    if (!first_on_line && column + 4 > kHexLineWidth) {
      out->append("\\\n  ");
      column = 2;
    }
    std::snprintf(buffer, sizeof buffer, last ? "%02x" : "%02x,", data[i]);
    out->append(buffer);
    column += last ? 2 : 3;
    first_on_line = false;
  }
  out->push_back('\n');
}

struct Writer {
  std::string* out;
  std::string* error;
  LONG code = ERROR_SUCCESS;

  bool failed(LONG rc, const std::string& where) {
    code = rc;
    *error = "cannot read " + where + " (error " + std::to_string(rc) + ")";
    return false;
  }

  // Writes the values of `key` (named `full_name`) under its section line.
  // A root without values is left out: its sub-keys bring it back.
  bool write_values(HKEY key, const std::string& full_name, bool is_root) {
    if (has_line_break(full_name)) {
      *error = "key name with a line break cannot be written: " + full_name;
      return false;
    }
    std::string values;
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
    for (DWORD index = 0;; ++index) {
      LONG rc = registry::enum_value(key, index, &name, &type, &data);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS) return failed(rc, full_name);
      if (has_line_break(name)) {
        *error = "value name with a line break cannot be written, in " + full_name;
        return false;
      }
      append_value(&values, name, type, data);
    }
    if (!is_root || !values.empty()) {
      out->append("[" + full_name + "]\n");
      out->append(values);
      out->push_back('\n');
    }
    return true;
  }

  // Writes `top` (named `top_name`, `top_depth` names below its root) and
  // every key below it, each before its sub-keys, in name order. The walk
  // keeps its own stack, so a deep tree cannot exhaust the thread's. A key
  // deeper than the registry allows (made before the limit) ends it with an
  // error: its text could not be imported again. `top` stays open.
  bool write_tree(HKEY top, const std::string& top_name, bool top_is_root, std::size_t top_depth) {
    struct Level {
      HKEY key;
      std::string name;
      std::size_t depth;
      DWORD next_child = 0;
    };
    if (!write_values(top, top_name, top_is_root)) return false;
    std::vector<Level> stack;
    stack.push_back(Level{top, top_name, top_depth});
    bool ok = true;
    std::string child_name;
    while (ok && !stack.empty()) {
      Level& level = stack.back();
      LONG rc = registry::enum_key_name(level.key, level.next_child++, &child_name);
      if (rc == ERROR_NO_MORE_ITEMS) {
        if (stack.size() > 1) RegCloseKey(level.key);
        stack.pop_back();
        continue;
      }
      if (rc != ERROR_SUCCESS) {
        ok = failed(rc, level.name);
        break;
      }
      std::string full = level.name + "\\" + child_name;
      std::size_t depth = level.depth + 1;
      if (depth > registry::kMaxKeyDepth) {
        constexpr std::size_t kShown = 200;
        code = ERROR_INVALID_PARAMETER;
        *error = "key nested deeper than " + std::to_string(registry::kMaxKeyDepth) +
                 " levels cannot be written: " +
                 (full.size() > kShown ? full.substr(0, kShown) + "..." : full);
        ok = false;
        break;
      }
      HKEY child = nullptr;
      rc = RegOpenKeyExA(level.key, child_name.c_str(), 0, KEY_READ, &child);
      if (rc != ERROR_SUCCESS) {
        ok = failed(rc, full);
        break;
      }
      if (!write_values(child, full, false)) {
        RegCloseKey(child);
        ok = false;
        break;
      }
      stack.push_back(Level{child, std::move(full), depth});
    }
    for (std::size_t i = 1; i < stack.size(); ++i) RegCloseKey(stack[i].key);
    return ok;
  }
};

// Runs `body` in one read transaction, so the text shows one moment.
template <class Body>
bool in_snapshot(std::string* error, LONG* code, Body body) {
  LONG rc = registry::begin_transaction(false);
  if (rc != ERROR_SUCCESS) {
    *code = rc;
    *error = "cannot read the registry (error " + std::to_string(rc) + ")";
    return false;
  }
  bool ok = body();
  registry::end_transaction(false);
  return ok;
}

}  // namespace

bool parse(std::string_view text, std::vector<Change>* changes, ParseError* error) {
  changes->clear();
  std::string converted;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE) {
    if (text.size() % 2 != 0) {
      error->line = 1;
      error->message = "UTF-16 text of an odd number of bytes";
      return false;
    }
    std::uint32_t bad = 0;
    if (!utf16le_to_utf8(reinterpret_cast<const unsigned char*>(text.data()) + 2, text.size() - 2,
                         &converted, &bad)) {
      // The lines before it are whole in what was converted.
      error->line = 1 + static_cast<int>(std::count(converted.begin(), converted.end(), '\n'));
      error->message = surrogate_message(bad);
      return false;
    }
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  Parser parser(split_lines(text), changes, error);
  if (parser.run()) return true;
  changes->clear();
  return false;
}

LONG apply_changes(const std::vector<Change>& changes, int* failed_line) {
  *failed_line = 0;
  LONG rc = registry::begin_transaction(true);
  if (rc != ERROR_SUCCESS) return rc;
  HKEY current = nullptr;
  for (const Change& change : changes) {
    switch (change.kind) {
      case Change::Kind::kOpenKey:
        if (current != nullptr) RegCloseKey(current);
        current = nullptr;
        rc = RegCreateKeyExA(change.root, change.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &current, nullptr);
        break;
      case Change::Kind::kDeleteKey:
        rc = RegDeleteTreeA(change.root, change.path.c_str());
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        break;
      case Change::Kind::kSetValue:
        rc = RegSetValueExA(current, change.name.c_str(), 0, change.type, change.data.data(),
                            static_cast<DWORD>(change.data.size()));
        break;
      case Change::Kind::kDeleteValue:
        rc = RegDeleteValueA(current, change.name.c_str());
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        break;
    }
    if (rc != ERROR_SUCCESS) {
      *failed_line = change.line;
      break;
    }
  }
  if (current != nullptr) RegCloseKey(current);
  if (rc != ERROR_SUCCESS) {
    registry::end_transaction(false);
    return rc;
  }
  return registry::end_transaction(true);
}

bool split_key_name(std::string_view full_name, HKEY* root, std::string* path) {
  std::size_t slash = full_name.find('\\');
  *root = registry::root_by_name(full_name.substr(0, slash));
  if (*root == nullptr) return false;
  path->clear();
  if (slash == std::string_view::npos) return true;
  std::string_view rest = full_name.substr(slash + 1);
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (rest.empty()) return true;
  if (rest.front() == '\\' || rest.find("\\\\") != std::string_view::npos) return false;
  path->assign(rest);
  return true;
}

bool export_all(std::string* out, std::string* error) {
  out->assign(kHeader4);
  out->append("\n\n");
  LONG code = ERROR_SUCCESS;
  return in_snapshot(error, &code, [&] {
    Writer writer{out, error};
    for (std::size_t i = 0; i < kRootCount; ++i) {
      HKEY root = export_roots()[i];
      if (!writer.write_tree(root, std::string(registry::root_name(root)), true, 0)) return false;
    }
    return true;
  });
}

bool export_key(HKEY root, const std::string& path, std::string* out, std::string* error,
                LONG* code) {
  *code = ERROR_SUCCESS;
  out->assign(kHeader4);
  out->append("\n\n");
  return in_snapshot(error, code, [&] {
    HKEY key = nullptr;
    std::string stored;
    LONG rc = registry::open_key_stored_case(root, path.c_str(), KEY_READ, &key, &stored);
    if (rc != ERROR_SUCCESS) {
      *code = rc;
      *error = rc == ERROR_FILE_NOT_FOUND
                   ? "no such key"
                   : "cannot open the key (error " + std::to_string(rc) + ")";
      return false;
    }
    std::string full_name(registry::root_name(root));
    if (!stored.empty()) full_name += "\\" + stored;
    Writer writer{out, error};
    bool ok = writer.write_tree(key, full_name, stored.empty(), key_depth(stored));
    RegCloseKey(key);
    if (!ok) *code = writer.code != ERROR_SUCCESS ? writer.code : ERROR_INVALID_PARAMETER;
    return ok;
  });
}

}  // namespace platform::registry_text
