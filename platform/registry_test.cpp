// Tests of the registry: operations and their failure codes, names without
// regard to case, buffer limits, enumeration while values are rewritten,
// handles to deleted keys, and several processes writing at once (helper
// processes are this test program started again with a role in the
// environment).
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/machine.h"

extern char** environ;

namespace {

namespace reg = platform::registry;
constexpr const char* kHelperVariable = "VELLOMAR_REGISTRY_TEST_HELPER";
constexpr DWORD kBlobSize = 64 * 1024;

LONG set_string(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

std::string query_string(HKEY key, const char* name, LONG* rc = nullptr) {
  char buffer[256] = {};
  DWORD size = sizeof buffer - 1;
  DWORD type = 0;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (rc != nullptr) *rc = result;
  return result == ERROR_SUCCESS ? std::string(buffer) : std::string();
}

HKEY create(HKEY root, const char* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
            ERROR_SUCCESS)
      << path;
  return key;
}

// Helper roles, run instead of the tests when the variable is set:
//   "writer PREFIX COUNT GOFILE": waits for GOFILE, then sets COUNT values
//   PREFIX0.. under HKLM\Software\Race, opening and closing the key each time.
//   "blobs": rewrites HKLM\Software\Crash "Blob" with ever new contents.
int run_helper(const char* role) {
  char kind[32] = {}, prefix[64] = {}, go[4096] = {};
  int count = 0;
  if (std::sscanf(role, "writer %63s %d %4095s", prefix, &count, go) == 3) {
    while (access(go, F_OK) != 0) usleep(1000);
    for (int i = 0; i < count; ++i) {
      HKEY key = nullptr;
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return 3;
      }
      std::string name = prefix + std::to_string(i);
      LONG rc = set_string(key, name.c_str(), std::to_string(i));
      RegCloseKey(key);
      if (rc != ERROR_SUCCESS) return 4;
    }
    return 0;
  }
  if (std::sscanf(role, "%31s", kind) == 1 && std::strcmp(kind, "blobs") == 0) {
    HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Crash");
    std::vector<BYTE> blob(kBlobSize);
    for (unsigned i = 0;; ++i) {
      std::fill(blob.begin(), blob.end(), static_cast<BYTE>(i % 251));
      RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), kBlobSize);
    }
  }
  return 2;
}

// Runs before the test runner's main(), so a helper never runs any test.
[[maybe_unused]] const int helper_started = [] {
  if (const char* role = std::getenv(kHelperVariable)) _exit(run_helper(role));
  return 0;
}();

pid_t start_helper(const std::string& role) {
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) env_text.emplace_back(*entry);
  env_text.push_back(std::string(kHelperVariable) + "=" + role);
  std::vector<char*> env;
  for (auto& text : env_text) env.push_back(text.data());
  env.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, env.data()), 0);
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class RegistryTest : public ::testing::Test {
 protected:
  // The machine's folder does not exist yet: the registry creates it.
  RegistryTest() { std::filesystem::remove(machine_.prefix()); }

  vmtest::Machine machine_{"registry"};
  std::string dir_ = machine_.root().string();
  std::string prefix_ = machine_.prefix().string();
};

TEST_F(RegistryTest, CreateOpenAndDispositions) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  DWORD disposition = 0;
  HKEY created = create(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_TRUE(std::filesystem::exists(prefix_ + "/registry.db"));
  HKEY again = create(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log\\", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  ASSERT_EQ(set_string(created, "Enabled", "1"), ERROR_SUCCESS);
  EXPECT_EQ(query_string(key, "Enabled"), "1");
  EXPECT_EQ(query_string(again, "Enabled"), "1");
  // A null or empty sub-key opens the same key again.
  HKEY same = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(query_string(same, "Enabled"), "1");
  for (HKEY k : {created, again, key, same}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  // Closing a predefined root is accepted and changes nothing.
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryTest, NamesMatchWithoutCaseAndKeepTheirCase) {
  // Under a root a new machine leaves empty, so the names are the test's own.
  HKEY key = create(HKEY_CURRENT_USER, "Software\\Vellomar\\Proxy");
  ASSERT_EQ(set_string(key, "Server", "proxy.example"), ERROR_SUCCESS);
  HKEY other = nullptr;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\vellomar\\pRoXy", 0, KEY_ALL_ACCESS, &other),
      ERROR_SUCCESS);
  EXPECT_EQ(query_string(other, "SERVER"), "proxy.example");
  ASSERT_EQ(set_string(other, "server", "second"), ERROR_SUCCESS);
  EXPECT_EQ(query_string(key, "Server"), "second");

  char name[64];
  DWORD size = sizeof name;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Server");  // the case it was created with
  size = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(HKEY_CURRENT_USER, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Software");
  std::string stored;
  HKEY third = nullptr;
  ASSERT_EQ(platform::registry::open_key_stored_case(HKEY_CURRENT_USER, "software\\VELLOMAR",
                                                     KEY_READ, &third, &stored),
            ERROR_SUCCESS);
  EXPECT_EQ(stored, "Software\\Vellomar");
  for (HKEY k : {key, other, third}) RegCloseKey(k);
}

TEST_F(RegistryTest, RootsAreSeparateTrees) {
  const HKEY roots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CURRENT_CONFIG,
                        HKEY_CLASSES_ROOT};
  for (std::size_t i = 0; i < std::size(roots); ++i) {
    HKEY key = create(roots[i], "Shared\\Path");
    ASSERT_EQ(set_string(key, "Which", std::to_string(i)), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  for (std::size_t i = 0; i < std::size(roots); ++i) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(roots[i], "Shared\\Path", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(query_string(key, "Which"), std::to_string(i));
    RegCloseKey(key);
  }
}

TEST_F(RegistryTest, ValuesKeepTypeAndBytes) {
  HKEY key = create(HKEY_CURRENT_USER, "Types");
  const BYTE binary[] = {0x3c, 0x00, 0xff, 0x01};
  const DWORD dword = 0x01020304;
  ASSERT_EQ(RegSetValueExA(key, "Bin", 0, REG_BINARY, binary, sizeof binary), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Dw", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Odd", 0, 42, binary, 3), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(set_string(key, nullptr, "default"), ERROR_SUCCESS);

  struct Expect {
    const char* name;
    DWORD type;
    std::vector<BYTE> bytes;
  };
  const Expect expected[] = {
      {"Bin", REG_BINARY, {0x3c, 0x00, 0xff, 0x01}},
      {"Dw", REG_DWORD, {0x04, 0x03, 0x02, 0x01}},
      {"Odd", 42, {0x3c, 0x00, 0xff}},
      {"Empty", REG_NONE, {}},
      {"", REG_SZ, {'d', 'e', 'f', 'a', 'u', 'l', 't', 0}},
  };
  for (const Expect& e : expected) {
    BYTE buffer[32];
    DWORD size = sizeof buffer;
    DWORD type = 99;
    ASSERT_EQ(RegQueryValueExA(key, e.name, nullptr, &type, buffer, &size), ERROR_SUCCESS)
        << e.name;
    EXPECT_EQ(type, e.type) << e.name;
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), e.bytes) << e.name;
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, QueryIntoTooSmallBufferWritesNothing) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Sizes");
  ASSERT_EQ(set_string(key, "Text", "hello"), ERROR_SUCCESS);  // 6 bytes
  BYTE buffer[8];
  std::memset(buffer, 0xAA, sizeof buffer);
  DWORD size = 5;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, REG_SZ);
  for (BYTE b : buffer) EXPECT_EQ(b, 0xAA);

  size = 6;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "hello");
  EXPECT_EQ(buffer[6], 0xAA);

  // Without a buffer the call only reports the size.
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, EnumerationIsOrderedAndHonoursNameBuffer) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Enum");
  for (const char* sub : {"beta", "Alpha", "GAMMA"}) RegCloseKey(create(key, sub));
  for (const char* value : {"zeta", "Eta", "theta"}) ASSERT_EQ(set_string(key, value, "v"), 0);

  const char* keys_in_order[] = {"Alpha", "beta", "GAMMA"};
  for (DWORD i = 0; i < 3; ++i) {
    char name[16];
    DWORD size = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, keys_in_order[i]);
    EXPECT_EQ(size, std::strlen(keys_in_order[i]));
  }
  char name[16];
  std::memset(name, 'x', sizeof name);
  DWORD size = 5;  // "Alpha" needs 6 with its terminator
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(name[0], 'x');
  size = 6;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 3, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  const char* values_in_order[] = {"Eta", "theta", "zeta"};
  for (DWORD i = 0; i < 3; ++i) {
    size = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, values_in_order[i]);
  }
  size = 3;  // "Eta" needs 4
  EXPECT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  BYTE data[1];
  DWORD data_size = sizeof data;  // "v" needs 2
  size = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, data, &data_size),
            ERROR_MORE_DATA);
  EXPECT_EQ(data_size, 2u);
  size = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 3, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, RewritingValuesWhileEnumeratingVisitsEachOnce) {
  HKEY key = create(HKEY_CURRENT_USER, "Connections");
  constexpr int kValues = 25;
  for (int i = 0; i < kValues; ++i) {
    ASSERT_EQ(set_string(key, ("Conn" + std::to_string(i)).c_str(), "old"), ERROR_SUCCESS);
  }
  std::vector<std::string> seen;
  for (DWORD index = 0;; ++index) {
    char name[64];
    DWORD size = sizeof name;
    if (RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    seen.emplace_back(name);
    ASSERT_EQ(set_string(key, name, "new record"), ERROR_SUCCESS);
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kValues));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
  for (const std::string& name : seen) EXPECT_EQ(query_string(key, name.c_str()), "new record");
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteValueAndTree) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Tree");
  RegCloseKey(create(key, "A\\B\\C"));
  HKEY deep = create(key, "A\\B");
  ASSERT_EQ(set_string(deep, "V", "1"), ERROR_SUCCESS);
  ASSERT_EQ(set_string(key, "Top", "1"), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteValueA(key, "TOP"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "Top"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RegDeleteTreeA(key, "a"), ERROR_SUCCESS);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExA(key, "A", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(key, "A"), ERROR_FILE_NOT_FOUND);

  // Without a sub-key the key stays and is emptied; a root is only emptied.
  RegCloseKey(create(key, "X"));
  ASSERT_EQ(set_string(key, "Y", "1"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
  char name[16];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  size = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, nullptr), ERROR_SUCCESS);
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "After"));
  for (HKEY k : {key, deep}) RegCloseKey(k);
}

TEST_F(RegistryTest, HandleToDeletedKeyFailsCleanly) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Doomed\\Inner");
  ASSERT_EQ(set_string(key, "V", "1"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Doomed"), ERROR_SUCCESS);
  // A new key of the same name is another key: the old handle stays dead.
  HKEY reborn = create(HKEY_LOCAL_MACHINE, "Doomed\\Inner");

  LONG rc = 0;
  query_string(key, "V", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(set_string(key, "V", "2"), ERROR_FILE_NOT_FOUND);
  char name[16];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(key, nullptr, 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
  query_string(reborn, "V", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  RegCloseKey(reborn);
}

// Failure codes of single calls, against a key "Software\Test" holding "V".
struct Handles {
  HKEY read = nullptr;
  HKEY write = nullptr;
};

struct FailureCase {
  const char* name;
  std::function<LONG(Handles&)> call;
  LONG expected;
};

class RegistryFailureTest : public RegistryTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RegistryFailureTest, ReportsCode) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Test");
  ASSERT_EQ(set_string(key, "V", "1"), ERROR_SUCCESS);
  RegCloseKey(key);
  Handles handles;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_READ, &handles.read), 0);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_WRITE, &handles.write), 0);
  EXPECT_EQ(GetParam().call(handles), GetParam().expected);
  RegCloseKey(handles.read);
  RegCloseKey(handles.write);
}

const BYTE kData[] = {'x', 0};
char name_buffer[64];
DWORD name_size = sizeof name_buffer;
HKEY scratch = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Calls, RegistryFailureTest,
    ::testing::Values(
        FailureCase{"OpenMissing",
                    [](Handles&) {
                      return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\None", 0, KEY_READ,
                                           &scratch);
                    },
                    ERROR_FILE_NOT_FOUND},
        FailureCase{"OpenEmptyName",
                    [](Handles&) {
                      return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\\\Test", 0, KEY_READ,
                                           &scratch);
                    },
                    ERROR_INVALID_PARAMETER},
        FailureCase{"CreateOverlongName",
                    [](Handles& h) {
                      std::string name(256, 'k');
                      return RegCreateKeyExA(h.write, name.c_str(), 0, nullptr, 0, KEY_READ,
                                             nullptr, &scratch, nullptr);
                    },
                    ERROR_INVALID_PARAMETER},
        // Line breaks could never be exported as registry text.
        FailureCase{"CreateNameWithLineFeed",
                    [](Handles& h) {
                      return RegCreateKeyExA(h.write, "Sub\\A\nB", 0, nullptr, 0, KEY_READ, nullptr,
                                             &scratch, nullptr);
                    },
                    ERROR_INVALID_PARAMETER},
        FailureCase{"CreateNameWithCarriageReturn",
                    [](Handles& h) {
                      return RegCreateKeyExA(h.write, "A\rB", 0, nullptr, 0, KEY_READ, nullptr,
                                             &scratch, nullptr);
                    },
                    ERROR_INVALID_PARAMETER},
        FailureCase{"SetNameWithLineFeed",
                    [](Handles& h) { return RegSetValueExA(h.write, "A\nB", 0, REG_SZ, kData, 2); },
                    ERROR_INVALID_PARAMETER},
        FailureCase{"SetNameWithCarriageReturn",
                    [](Handles& h) { return RegSetValueExA(h.write, "A\r", 0, REG_SZ, kData, 2); },
                    ERROR_INVALID_PARAMETER},
        FailureCase{"QueryMissingValue",
                    [](Handles& h) {
                      return RegQueryValueExA(h.read, "Missing", nullptr, nullptr, nullptr,
                                              nullptr);
                    },
                    ERROR_FILE_NOT_FOUND},
        FailureCase{"QueryBufferWithoutSize",
                    [](Handles& h) {
                      BYTE data[4];
                      return RegQueryValueExA(h.read, "V", nullptr, nullptr, data, nullptr);
                    },
                    ERROR_INVALID_PARAMETER},
        FailureCase{"QueryThroughWriteHandle",
                    [](Handles& h) {
                      return RegQueryValueExA(h.write, "V", nullptr, nullptr, nullptr, nullptr);
                    },
                    ERROR_ACCESS_DENIED},
        FailureCase{"SetThroughReadHandle",
                    [](Handles& h) { return RegSetValueExA(h.read, "V", 0, REG_SZ, kData, 2); },
                    ERROR_ACCESS_DENIED},
        FailureCase{"DeleteThroughReadHandle",
                    [](Handles& h) { return RegDeleteValueA(h.read, "V"); }, ERROR_ACCESS_DENIED},
        FailureCase{"DeleteTreeThroughReadHandle",
                    [](Handles& h) { return RegDeleteTreeA(h.read, nullptr); },
                    ERROR_ACCESS_DENIED},
        FailureCase{"CreateUnderReadHandle",
                    [](Handles& h) {
                      return RegCreateKeyExA(h.read, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &scratch, nullptr);
                    },
                    ERROR_ACCESS_DENIED},
        FailureCase{"EnumKeysThroughWriteHandle",
                    [](Handles& h) {
                      name_size = sizeof name_buffer;
                      return RegEnumKeyExA(h.write, 0, name_buffer, &name_size, nullptr, nullptr,
                                           nullptr, nullptr);
                    },
                    ERROR_ACCESS_DENIED},
        FailureCase{"EnumValuesPastEnd",
                    [](Handles& h) {
                      name_size = sizeof name_buffer;
                      return RegEnumValueA(h.read, 1, name_buffer, &name_size, nullptr, nullptr,
                                           nullptr, nullptr);
                    },
                    ERROR_NO_MORE_ITEMS},
        FailureCase{"SetWithoutData",
                    [](Handles& h) { return RegSetValueExA(h.write, "V", 0, REG_SZ, nullptr, 4); },
                    ERROR_INVALID_PARAMETER},
        FailureCase{"NullHandle",
                    [](Handles&) {
                      return RegQueryValueExA(nullptr, "V", nullptr, nullptr, nullptr, nullptr);
                    },
                    ERROR_INVALID_HANDLE},
        FailureCase{"UnknownPredefinedHandle",
                    [](Handles&) {
                      HKEY performance = reinterpret_cast<HKEY>(std::uintptr_t{0x80000004});
                      return RegOpenKeyExA(performance, "X", 0, KEY_READ, &scratch);
                    },
                    ERROR_INVALID_HANDLE}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(RegistryTest, TransactionIsAllOrNothing) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Batch");
  ASSERT_EQ(reg::begin_transaction(true), ERROR_SUCCESS);
  ASSERT_EQ(set_string(key, "A", "1"), ERROR_SUCCESS);
  RegCloseKey(create(key, "Sub"));
  // Another thread (its own connection) sees nothing yet.
  std::thread([] {
    HKEY other = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Batch", 0, KEY_READ, &other), ERROR_SUCCESS);
    LONG rc = 0;
    query_string(other, "A", &rc);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    RegCloseKey(other);
  }).join();
  ASSERT_EQ(reg::end_transaction(false), ERROR_SUCCESS);
  LONG rc = 0;
  query_string(key, "A", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyExA(key, "Sub", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(reg::begin_transaction(true), ERROR_SUCCESS);
  ASSERT_EQ(set_string(key, "A", "2"), ERROR_SUCCESS);
  ASSERT_EQ(reg::end_transaction(true), ERROR_SUCCESS);
  EXPECT_EQ(query_string(key, "A"), "2");
  RegCloseKey(key);
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kEach = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Threads", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        std::string name = "T" + std::to_string(t) + "_" + std::to_string(i);
        ASSERT_EQ(set_string(key, name.c_str(), name), ERROR_SUCCESS);
        EXPECT_EQ(query_string(key, name.c_str()), name);
        RegCloseKey(key);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Threads");
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      std::string name = "T" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_EQ(query_string(key, name.c_str()), name);
    }
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, MachineFolderMadeAnewIsNoticed) {
  std::thread([] { RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\Before")); }).join();
  std::filesystem::remove_all(prefix_);
  std::thread([this] {
    // The connection the first thread left behind reaches the removed file.
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Before", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\After"));
    EXPECT_TRUE(std::filesystem::exists(prefix_ + "/registry.db"));
  }).join();
}

// Whatever the file does between calls (another process, another thread or
// the same handle changes the key), entry i is the i-th in name order at the
// time of the call; several walks at once do not disturb each other.
TEST_F(RegistryTest, EnumerationByIndexFollowsChangesMadeBetweenCalls) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Race");
  ASSERT_EQ(set_string(key, "b", "1"), ERROR_SUCCESS);
  ASSERT_EQ(set_string(key, "d", "1"), ERROR_SUCCESS);
  auto value_at = [&](DWORD index) {
    char name[32];
    DWORD size = sizeof name;
    LONG rc = RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    return rc == ERROR_SUCCESS ? std::string(name) : "rc " + std::to_string(rc);
  };
  EXPECT_EQ(value_at(0), "b");
  std::string go = prefix_ + "/go";
  std::filesystem::create_directories(prefix_);
  std::fclose(std::fopen(go.c_str(), "w"));
  ASSERT_EQ(wait_status(start_helper("writer a 1 " + go)), 0);  // adds "a0"
  EXPECT_EQ(value_at(1), "b");
  ASSERT_EQ(set_string(key, "c", "1"), ERROR_SUCCESS);
  EXPECT_EQ(value_at(2), "c");
  std::thread([&] { EXPECT_EQ(RegDeleteValueA(key, "a0"), ERROR_SUCCESS); }).join();
  EXPECT_EQ(value_at(3), "rc " + std::to_string(ERROR_NO_MORE_ITEMS));

  // More walks at once than a connection follows.
  constexpr int kKeys = 7;
  std::vector<HKEY> keys;
  for (int k = 0; k < kKeys; ++k) {
    keys.push_back(create(key, ("K" + std::to_string(k)).c_str()));
    for (int v = 0; v < 3; ++v) {
      ASSERT_EQ(set_string(keys.back(), (std::to_string(k) + "v" + std::to_string(v)).c_str(), ""),
                ERROR_SUCCESS);
    }
  }
  for (DWORD v = 0; v < 3; ++v) {
    for (int k = 0; k < kKeys; ++k) {
      std::string name;
      DWORD type = 0;
      std::vector<BYTE> data;
      ASSERT_EQ(reg::enum_value(keys[k], v, &name, &type, &data), ERROR_SUCCESS);
      EXPECT_EQ(name, std::to_string(k) + "v" + std::to_string(v));
      ASSERT_EQ(reg::enum_key_name(key, static_cast<DWORD>(k), &name), ERROR_SUCCESS);
      EXPECT_EQ(name, "K" + std::to_string(k));
    }
  }
  for (HKEY sub : keys) RegCloseKey(sub);
  RegCloseKey(key);
}

int registry_descriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target.filename() == "registry.db") ++count;
  }
  return count;
}

// Many threads using the registry at once (a burst of browser connections)
// leave no more connections open than the pool holds once they end.
TEST_F(RegistryTest, ThreadsThatEndLeaveNoConnectionsBehind) {
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log"));
  constexpr int kThreads = 64;
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      HKEY key = nullptr;
      EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", 0, KEY_READ, &key),
                ERROR_SUCCESS);
      query_string(key, "Enabled");
      RegCloseKey(key);
      // All of them are alive at once.
      ++done;
      while (done.load() < kThreads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_GE(registry_descriptors(), 1);
  EXPECT_LE(registry_descriptors(), static_cast<int>(reg::kMaxConnections));
}

std::string damage_message;

struct Damage {
  const char* name;
  void (*apply)(const std::string& path);
};

class RegistryDamageTest : public RegistryTest, public ::testing::WithParamInterface<Damage> {};

// A damaged file is kept aside, a new registry starts, and the user is told.
TEST_P(RegistryDamageTest, IsMovedAsideAndANewRegistryStarted) {
  // A registry with settings and enough data to fill several pages, copied
  // whole (its log folded in) into a machine folder not yet used.
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log");
  ASSERT_EQ(set_string(key, "Enabled", "1"), ERROR_SUCCESS);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(set_string(key, ("Pad" + std::to_string(i)).c_str(), std::string(500, 'p')), 0);
  }
  RegCloseKey(key);
  std::string machine = dir_ + "/damaged";
  std::filesystem::create_directories(machine + "/drive_c");
  std::string path = machine + "/registry.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((prefix_ + "/registry.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, ("VACUUM INTO '" + path + "'").c_str(), nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  GetParam().apply(path);
  auto damaged_size = std::filesystem::file_size(path);

  setenv("VELLOMAR_PREFIX", machine.c_str(), 1);
  damage_message.clear();
  reg::set_damage_listener([](const std::string& message) { damage_message = message; });
  ::testing::internal::CaptureStderr();
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", 0, KEY_READ, &key);
  std::string said = ::testing::internal::GetCapturedStderr();
  reg::set_damage_listener(nullptr);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);

  std::vector<std::filesystem::path> aside;
  for (const auto& entry : std::filesystem::directory_iterator(machine)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("registry.db.damaged-2", 0) == 0 && !name.ends_with("-wal")) {
      aside.push_back(entry.path());
    }
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(aside[0]), damaged_size);
  EXPECT_NE(said.find("is damaged"), std::string::npos) << said;
  EXPECT_NE(said.find(aside[0].string()), std::string::npos) << said;
  EXPECT_NE(damage_message.find(aside[0].string()), std::string::npos) << damage_message;
  key = create(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log");
  ASSERT_EQ(set_string(key, "Enabled", "0"), ERROR_SUCCESS);
  EXPECT_EQ(query_string(key, "Enabled"), "0");
  RegCloseKey(key);
}

void overwrite(const std::string& path, long offset, std::size_t size) {
  FILE* file = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(file, nullptr);
  std::string garbage(size, '\xA5');
  std::fseek(file, offset, SEEK_SET);
  std::fwrite(garbage.data(), 1, garbage.size(), file);
  std::fclose(file);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RegistryDamageTest,
    ::testing::Values(
        Damage{"Overwritten", [](const std::string& path) { overwrite(path, 0, 8192); }},
        Damage{"PageOverwritten", [](const std::string& path) { overwrite(path, 4096, 4096); }},
        Damage{"CutShort",
               [](const std::string& path) {
                 auto size = std::filesystem::file_size(path);
                 std::filesystem::resize_file(path, size / 2 / 4096 * 4096);
               }}),
    [](const ::testing::TestParamInfo<Damage>& info) { return info.param.name; });

TEST_F(RegistryTest, ProcessesSettingValuesOfOneKeyLoseNone) {
  // Three writers, as setup starts three programs at once, on a registry
  // that none of them has created yet.
  constexpr int kEach = 150;
  const char* const writers[] = {"A", "B", "C"};
  std::string go = dir_ + "/go";
  std::vector<pid_t> pids;
  for (const char* writer : writers) {
    pids.push_back(
        start_helper(std::string("writer ") + writer + " " + std::to_string(kEach) + " " + go));
    ASSERT_GT(pids.back(), 0);
  }
  FILE* start = std::fopen(go.c_str(), "w");
  ASSERT_NE(start, nullptr);
  std::fclose(start);
  for (pid_t pid : pids) EXPECT_EQ(wait_status(pid), 0);

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, KEY_READ, &key), ERROR_SUCCESS);
  int found = 0;
  for (const char* prefix : writers) {
    for (int i = 0; i < kEach; ++i) {
      std::string name = prefix + std::to_string(i);
      found += query_string(key, name.c_str()) == std::to_string(i) ? 1 : 0;
    }
  }
  EXPECT_EQ(found, 3 * kEach);
  RegCloseKey(key);
}

TEST_F(RegistryTest, WriterKilledMidWriteLeavesAWholeValue) {
  for (int round = 0; round < 3; ++round) {
    pid_t writer = start_helper("blobs");
    ASSERT_GT(writer, 0);
    HKEY key = nullptr;
    for (int tries = 0; tries < 5000; ++tries) {
      if (key == nullptr) RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Crash", 0, KEY_READ, &key);
      if (key != nullptr &&
          RegQueryValueExA(key, "Blob", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        break;
      }
      usleep(1000);
    }
    ASSERT_NE(key, nullptr);
    usleep(20000 + 15000 * round);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);

    std::vector<BYTE> blob(kBlobSize + 1);
    DWORD size = static_cast<DWORD>(blob.size());
    ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, blob.data(), &size), ERROR_SUCCESS);
    ASSERT_EQ(size, kBlobSize);
    EXPECT_EQ(std::count(blob.begin(), blob.begin() + size, blob[0]),
              static_cast<std::ptrdiff_t>(kBlobSize));
    RegCloseKey(key);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((prefix_ + "/registry.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
  }
}

}  // namespace
