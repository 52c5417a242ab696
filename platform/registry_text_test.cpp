// Tests of registry text: import/export round trips, the accepted forms,
// malformed files refused with their line and no change, and the vmreg
// program's exit statuses.
#include "platform/registry_text.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "tests/support/machine.h"

namespace {

namespace text = platform::registry_text;
using namespace std::string_view_literals;

// Every key below `key` and its values, one line each, bytes in hex: a
// byte-exact picture of a tree.
void dump(HKEY key, const std::string& name, std::string* out) {
  *out += "[" + name + "]\n";
  std::string value;
  DWORD type = 0;
  std::vector<BYTE> data;
  for (DWORD i = 0; platform::registry::enum_value(key, i, &value, &type, &data) == 0; ++i) {
    *out += value + " " + std::to_string(type) + ":";
    for (BYTE b : data) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", b);
      *out += hex;
    }
    *out += "\n";
  }
  std::string sub;
  for (DWORD i = 0; platform::registry::enum_key_name(key, i, &sub) == 0; ++i) {
    HKEY child = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, sub.c_str(), 0, KEY_READ, &child), ERROR_SUCCESS);
    dump(child, name + "\\" + sub, out);
    RegCloseKey(child);
  }
}

std::string dump_all() {
  std::string out;
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CURRENT_CONFIG,
                    HKEY_CLASSES_ROOT}) {
    dump(root, std::string(platform::registry::root_name(root)), &out);
  }
  return out;
}

std::string export_all() {
  std::string out, error;
  EXPECT_TRUE(text::export_all(&out, &error)) << error;
  return out;
}

HKEY create(HKEY root, const char* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  return key;
}

void set(HKEY key, const char* name, DWORD type, const std::string& bytes) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
}

class RegistryTextTest : public ::testing::Test {
 protected:
  RegistryTextTest() { use_machine("first"); }
  void use_machine(const std::string& name) { machine_.use_prefix(name); }
  // Parses and applies `reg`; the parse must succeed.
  void import(const std::string& reg) {
    std::vector<text::Change> changes;
    text::ParseError error;
    ASSERT_TRUE(text::parse(reg, &changes, &error)) << error.line << ": " << error.message;
    int line = 0;
    ASSERT_EQ(text::apply_changes(changes, &line), ERROR_SUCCESS) << "line " << line;
  }
  std::string query(const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "-";
    char buffer[256] = {};
    DWORD size = sizeof buffer - 1;
    LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(buffer, size) : "-";
  }
  vmtest::Machine machine_{"regtext"};
  std::string dir_ = machine_.root().string();
};

const char kAllTypes[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; every kind of value, names in mixed case\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Vellomar\\Log]\r\n"
    "\"Enabled\"=\"1\"\r\n"
    "@=\"default \\\"quoted\\\" C:\\\\path\"\r\n"
    "\"DWord\"=dword:0000002a\r\n"
    "\"Bin\"=hex:3c,00,00,00,01,00,00,00,03,00,00,00,28,00,00,00,68,74,74,70,3d,31,32,\\\r\n"
    "  37,2e,30,2e,30,2e,31,3a,38,30,30,30\r\n"
    "\"Expand\"=hex(2):25,54,45,4d,50,25,00\r\n"
    "\"Multi\"=hex(7):61,00,62,00,00\r\n"
    "\"None\"=hex(0):\r\n"
    "\"Big Type\"=hex(20000):01,02\r\n"
    "[HKCU\\Level1\\level2\\LEVEL3\\Level4\\Level5]\r\n"
    "\"MiXeD\"=\"x\"\r\n"
    "[HKU\\.DEFAULT\\RemoteAccess\\Addresses]\r\n"
    "[HKCC\\Software]\r\n"
    "[HKEY_CLASSES_ROOT\\.reg]\r\n"
    "@=\"regfile\"\r\n";

TEST_F(RegistryTextTest, ImportExportImportGivesTheSameRegistry) {
  import(kAllTypes);
  EXPECT_EQ(query("SOFTWARE\\vellomar\\log", "ENABLED"), std::string("1\0", 2));
  HKEY deep = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "level1\\LEVEL2\\level3\\LEVEL4\\level5", 0, KEY_READ,
                          &deep),
            ERROR_SUCCESS);
  RegCloseKey(deep);
  std::string first_dump = dump_all();
  std::string exported = export_all();
  // Stored case, full paths.
  EXPECT_NE(exported.find("[HKEY_CURRENT_USER\\Level1\\level2\\LEVEL3\\Level4\\Level5]\n\"MiXeD\"="
                          "\"x\"\n"),
            std::string::npos)
      << exported;
  EXPECT_NE(exported.find("\"DWord\"=dword:0000002a\n"), std::string::npos);
  EXPECT_NE(exported.find("[HKEY_USERS\\.DEFAULT\\RemoteAccess\\Addresses]\n\n"),
            std::string::npos);

  use_machine("second");
  import(exported);
  EXPECT_EQ(dump_all(), first_dump);
  EXPECT_EQ(export_all(), exported);
}

TEST_F(RegistryTextTest, ValuesThatAreNotPlainTextRoundTripByteForByte) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Odd");
  set(key, "Embedded zero", REG_SZ, std::string("a\0b\0", 4));
  set(key, "No terminator", REG_SZ, "abc");
  set(key, "Two lines", REG_SZ, std::string("one\r\ntwo\0", 9));
  set(key, "Empty text", REG_SZ, std::string("\0", 1));
  set(key, "No bytes", REG_SZ, "");
  set(key, "Short dword", REG_DWORD, "\x01\x02\x03");
  set(key, "Long", REG_BINARY, std::string(300, '\xAB'));
  set(key, "Quote\"and\\slash", REG_SZ, std::string("\"\\\0", 3));
  RegCloseKey(key);
  std::string before = dump_all();
  std::string exported = export_all();
  for (const std::string& line :
       {std::string("\"Empty text\"=\"\"\n"), std::string("\"No terminator\"=hex(1):61,62,63\n"),
        std::string("\"Short dword\"=hex(4):01,02,03\n"), std::string("\"No bytes\"=hex(1):\n")}) {
    EXPECT_NE(exported.find(line), std::string::npos) << line << "\n" << exported;
  }
  std::istringstream lines(exported);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

  use_machine("second");
  import(exported);
  EXPECT_EQ(dump_all(), before);
}

TEST_F(RegistryTextTest, AcceptedForms) {
  HKEY old = create(HKEY_LOCAL_MACHINE, "Software\\Old\\Deep");
  set(old, "Gone", REG_SZ, std::string("x\0", 2));
  RegCloseKey(old);
  HKEY keep = create(HKEY_LOCAL_MACHINE, "Software\\Keep");
  set(keep, "Drop", REG_SZ, std::string("x\0", 2));
  set(keep, "Stay", REG_SZ, std::string("x\0", 2));
  RegCloseKey(keep);
  import(
      "REGEDIT4\n"
      "   \n"
      "  ; indented comment\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n"
      "[-HKLM\\Software\\NeverThere]\n"
      "  [hklm\\software\\keep]  \n"
      "\"drop\"=-\n"
      "\"Word\" = DWORD:FF\n"
      "\"Hex\"=HEX:1,  2 ,\\\n"
      "\t  03\n");
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Old", 0, KEY_READ, &gone),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(query("Software\\Keep", "Drop"), "-");
  EXPECT_EQ(query("Software\\Keep", "Stay"), std::string("x\0", 2));
  EXPECT_EQ(query("Software\\Keep", "Word"), std::string("\xFF\0\0\0", 4));
  EXPECT_EQ(query("Software\\Keep", "Hex"), "\x01\x02\x03");
}

TEST_F(RegistryTextTest, UnicodeFileWithByteOrderMark) {
  std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Uni]\r\n"
      "\"Name\"=\"caf\xC3\xA9\"\r\n"
      "\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : utf8) {
    // Only ASCII and one two-byte letter in this file.
    if (static_cast<unsigned char>(c) == 0xC3) continue;
    unsigned code = static_cast<unsigned char>(c) == 0xA9 ? 0xE9 : static_cast<unsigned char>(c);
    utf16.push_back(static_cast<char>(code));
    utf16.push_back('\0');
  }
  import(utf16);
  EXPECT_EQ(query("Software\\Uni", "Name"), std::string("caf\xC3\xA9\0", 6));
  EXPECT_EQ(query("Software\\Uni", "Exp"), std::string("%A%\0", 4));
}

TEST_F(RegistryTextTest, TextDataWithZeroByteOrCarriageReturnKeepsItsBytes) {
  // Data is stored by length, so these bytes are kept; export writes them as
  // hex, which reads back the same.
  import(std::string("REGEDIT4\n[HKLM\\Software\\Odd]\n\"v\"=\"a\0b\rc\"\n"sv));
  EXPECT_EQ(query("Software\\Odd", "v"), std::string("a\0b\rc\0", 6));
  std::string before = dump_all();
  std::string exported = export_all();
  EXPECT_NE(exported.find("\"v\"=hex(1):61,00,62,0d,63,00\n"), std::string::npos) << exported;
  use_machine("second");
  import(exported);
  EXPECT_EQ(dump_all(), before);
}

struct BadFile {
  const char* name;
  std::string_view text;
  int line;
};

// `ascii` as UTF-16LE with a byte order mark, `unit` put in where "%" is.
std::string utf16_file(std::string_view ascii, unsigned unit) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    unsigned code = c == '%' ? unit : static_cast<unsigned char>(c);
    out.push_back(static_cast<char>(code & 0xFF));
    out.push_back(static_cast<char>(code >> 8));
  }
  return out;
}

const std::string kLoneSurrogateFile =
    utf16_file("Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v\"=\"a%b\"\r\n", 0xD800);
const std::string kLoneSurrogateData = utf16_file(
    "Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"x\"=\"1\"\r\n"
    "\"v\"=hex(1):41,00,00,dc,00,00\r\n",
    0);

std::string nested_keys(std::size_t depth) {
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE";
  for (std::size_t i = 0; i < depth; ++i) text += "\\k";
  return text + "]\n";
}
const std::string kTooDeep = nested_keys(platform::registry::kMaxKeyDepth + 1);

class RegistryTextMalformedTest : public RegistryTextTest,
                                  public ::testing::WithParamInterface<BadFile> {};

TEST_P(RegistryTextMalformedTest, IsRefusedWithItsLineAndChangesNothing) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log");
  set(key, "Enabled", REG_SZ, std::string("1\0", 2));
  RegCloseKey(key);
  std::string before = dump_all();

  std::string file = dir_ + "/bad.reg";
  std::ofstream(file, std::ios::binary) << GetParam().text;
  std::string errors = dir_ + "/errors.txt";
  std::string command =
      std::string(VELLOMAR_BIN_DIR) + "/vmreg import '" + file + "' 2>'" + errors + "'";
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::ifstream read(errors);
  std::string message((std::istreambuf_iterator<char>(read)), std::istreambuf_iterator<char>());
  std::string expected = "vmreg: " + file + ":" + std::to_string(GetParam().line) + ": ";
  EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
  EXPECT_EQ(dump_all(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RegistryTextMalformedTest,
    ::testing::Values(
        BadFile{"EmptyFile", "", 1}, BadFile{"BadHeader", "REGEDIT5\n[HKLM\\A]\n", 1},
        BadFile{"HeaderNotFirst", "\nREGEDIT4\n", 1},
        BadFile{"BadHex", "REGEDIT4\n[HKLM\\A]\n\"x\"=\"1\"\n\"v\"=hex:3c,0g\n", 4},
        BadFile{"HexByteTooLong", "REGEDIT4\n[HKLM\\A]\n\"v\"=hex:3c0\n", 3},
        BadFile{"HexTrailingComma", "REGEDIT4\n[HKLM\\A]\n\"v\"=hex:3c,\n", 3},
        BadFile{"BadHexOnContinuation", "REGEDIT4\r\n[HKLM\\A]\r\n\"v\"=hex:01,\\\r\n  zz\r\n", 4},
        BadFile{"ContinuationAtEnd", "REGEDIT4\n[HKLM\\A]\n\"v\"=hex:01,\\\n", 3},
        BadFile{"BadHexType", "REGEDIT4\n[HKLM\\A]\n\"v\"=hex(q):01\n", 3},
        BadFile{"UnterminatedString", "REGEDIT4\n[HKLM\\A]\n\"v\"=\"open\n\"w\"=\"1\"\n", 3},
        BadFile{"UnterminatedName", "REGEDIT4\n[HKLM\\A]\n\"v=\"1\"\n", 3},
        BadFile{"BadEscape", "REGEDIT4\n[HKLM\\A]\n\"v\"=\"a\\nb\"\n", 3},
        BadFile{"TextAfterString", "REGEDIT4\n[HKLM\\A]\n\"v\"=\"a\" b\n", 3},
        BadFile{"DwordTooLong", "REGEDIT4\n[HKLM\\A]\n\"v\"=dword:000000001\n", 3},
        BadFile{"DwordNotHex", "REGEDIT4\n[HKLM\\A]\n\"v\"=dword:0000000x\n", 3},
        BadFile{"DwordEmpty", "REGEDIT4\n[HKLM\\A]\n\"v\"=dword:\n", 3},
        BadFile{"GarbageLine", "REGEDIT4\n[HKLM\\A]\n\"v\"=\"1\"\nrubbish\n", 4},
        BadFile{"NoEquals", "REGEDIT4\n[HKLM\\A]\n\"v\" \"1\"\n", 3},
        BadFile{"UnknownData", "REGEDIT4\n[HKLM\\A]\n\"v\"=qword:1\n", 3},
        BadFile{"KeyNotClosed", "REGEDIT4\n[HKLM\\A\n", 2},
        BadFile{"UnknownRoot", "REGEDIT4\n[HKEY_NOWHERE\\A]\n", 2},
        BadFile{"EmptyKeyName", "REGEDIT4\n[HKLM\\A\\\\B]\n", 2},
        BadFile{"DeleteRoot", "REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", 2},
        BadFile{"ValueBeforeKey", "REGEDIT4\n\"v\"=\"1\"\n", 2},
        BadFile{"ValueUnderDeletedKey", "REGEDIT4\n[-HKLM\\Software]\n\"v\"=\"1\"\n", 3},
        // A zero byte would cut the name short: the values would land on the
        // root, or the deletion would take the key above.
        BadFile{"KeyWithZeroByte", "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A\0B]\n\"v\"=\"1\"\n"sv,
                2},
        BadFile{"KeyBelowRootWithZeroByte", "REGEDIT4\n[HKCU\\\0B]\n\"v\"=\"1\"\n"sv, 2},
        BadFile{"DeletedKeyWithZeroByte", "REGEDIT4\n[-HKLM\\Software\\Vellomar\0X]\n"sv, 2},
        BadFile{"ValueNameWithZeroByte",
                "REGEDIT4\n[HKLM\\Software\\Vellomar\\Log]\n\"Enabled\0X\"=\"0\"\n"sv, 3},
        BadFile{"DeletedValueNameWithZeroByte",
                "REGEDIT4\n[HKLM\\Software\\Vellomar\\Log]\n\"Enabled\0X\"=-\n"sv, 3},
        // Names that export could not write back out.
        BadFile{"KeyWithCarriageReturn", "REGEDIT4\n[HKLM\\A\rB]\n", 2},
        BadFile{"ValueNameWithCarriageReturn", "REGEDIT4\r\n[HKLM\\A]\r\n\"a\rb\"=\"1\"\r\n", 3},
        // UTF-8 cannot carry a lone surrogate: the text would change.
        BadFile{"LoneSurrogateInUtf16File", kLoneSurrogateFile, 3},
        BadFile{"LoneSurrogateInUtf16Data", kLoneSurrogateData, 4},
        BadFile{"KeyTooDeep", kTooDeep, 3},
        // Parses, but the registry refuses the over-long key name: the
        // deletion and the values before it must not stay either.
        BadFile{"RefusedByTheRegistry",
                "REGEDIT4\n[-HKLM\\Software\\Vellomar]\n[HKLM\\New]\n\"v\"=\"1\"\n[HKLM\\"
                "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk"
                "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk"
                "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk"
                "kkkkkkkkkkkkk]\n",
                5}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return info.param.name; });

int run_vmreg(const std::string& arguments) {
  std::string command = std::string(VELLOMAR_BIN_DIR) + "/vmreg " + arguments + " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(RegistryTextTest, VmregExitStatuses) {
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\Here"));
  EXPECT_EQ(run_vmreg(""), 2);
  EXPECT_EQ(run_vmreg("frobnicate"), 2);
  EXPECT_EQ(run_vmreg("import"), 2);
  EXPECT_EQ(run_vmreg("export a b"), 2);
  EXPECT_EQ(run_vmreg("import /nonexistent/file.reg"), 1);
  EXPECT_EQ(run_vmreg("export 'HKLM\\Software\\Missing'"), 1);
  EXPECT_EQ(run_vmreg("export 'NOROOT\\Software'"), 1);
  EXPECT_EQ(run_vmreg("export 'hklm\\software\\here'"), 0);
  EXPECT_EQ(run_vmreg("export"), 0);
}

// The deepest keys the registry allows round-trip; deeper ones, left by a
// registry from before the limit, make export fail with a message instead of
// exhausting the stack, and can still be deleted.
TEST_F(RegistryTextTest, DeepKeysExportWithoutRecursionAndDeeperOnesAreRefused) {
  const std::size_t limit = platform::registry::kMaxKeyDepth;
  import(nested_keys(limit));
  std::string deepest(limit * 2 - 1, 'k');
  for (std::size_t i = 1; i < deepest.size(); i += 2) deepest[i] = '\\';
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, deepest.c_str(), 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  HKEY deeper = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
  std::string before = dump_all();
  std::string exported = export_all();
  use_machine("second");
  import(exported);
  EXPECT_EQ(dump_all(), before);

  // A chain far deeper than the limit, written straight into the file.
  std::string db_path = dir_ + "/second/registry.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT INTO keys(parent, name) VALUES (3, 'Deep')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO keys(parent, name) SELECT max(id), 'k' FROM keys",
                               -1, &insert, nullptr),
            SQLITE_OK);
  for (int i = 0; i < 40000; ++i) {
    ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  std::string out, error;
  EXPECT_FALSE(text::export_all(&out, &error));
  EXPECT_NE(error.find("deeper than 512 levels"), std::string::npos) << error;
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Deep"), ERROR_SUCCESS);
  EXPECT_EQ(export_all(), exported);
}

}  // namespace
