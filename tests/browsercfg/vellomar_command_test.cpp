// "vellomar I" and friends as the setup program starts them: a separate
// process over a seeded machine folder, which configures the browser, ends
// with status 0 and never opens the proxy's port.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/machine.h"
#include "tests/support/programs.h"
#include "tests/support/registry.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string IS = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const std::string PROXY_STRING = "http=127.0.0.1:8000;https=127.0.0.1:8000";

// Runs a program to its end, checking the proxy's port all the while.
// Returns its exit status, or -1 when it did not end normally.
int run_watching_port(const std::vector<std::string>& argv, bool* port_stayed_closed) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  for (;;) {
    if (!vmtest::port_8000_refused()) *port_stayed_closed = false;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return -1;
    usleep(1000);
  }
  if (!vmtest::port_8000_refused()) *port_stayed_closed = false;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_value_text(HKEY root, const std::string& path, const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  char data[256] = {};
  DWORD size = sizeof data - 1;
  LONG result =
      RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "<no value>";
  return std::string(data, size);
}

std::vector<BYTE> read_value_bytes(HKEY root, const std::string& path, const std::string& name) {
  return vmtest::read_value(root, path, name).data;
}

// The machine a fresh installation meets: Internet Explorer settings for
// the current user, one other user and a dial-up connection, and one
// Netscape profile.
const char SEED_REG[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\r\n"
    "\"ProxyEnable\"=dword:00000000\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
    "Settings\\LAN]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
    "Settings\\Connections]\r\n"
    "\"DefaultConnectionSettings\"=hex:3c,00,00,00,05,00,00,00,01,00,00,00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\RemoteAccess\\Addresses]\r\n"
    "\"My ISP\"=hex:01,02\r\n"
    "\r\n"
    "[HKEY_USERS\\S-1-5-21-1001\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
    "Settings\\Connections]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Netscape\\Netscape Navigator\\Main]\r\n"
    "\"Install Directory\"=\"C:\\\\Netscape\\\\Program\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Netscape\\Netscape Navigator\\biff\\users\\default]\r\n";

struct Command {
  std::string name;
  std::vector<std::string> args;
  bool configures_ie;
  bool configures_netscape;
};

void PrintTo(const Command& command, std::ostream* out) {
  *out << command.name;
}

// Each test gets its own machine folder, set before its first registry call.
class VellomarCommandTest : public ::testing::TestWithParam<Command> {
 protected:
  VellomarCommandTest() {
    fs::create_directories(machine_.drive_c() / "Netscape" / "Users" / "default");
    machine_.enter(machine_.drive_c() / "Work");
  }

  // Seeds the registry the way an administrator would, with the registry
  // tool.
  void seed() {
    const fs::path reg_file = machine_.root() / "seed.reg";
    std::ofstream(reg_file, std::ios::binary) << SEED_REG;
    bool ignored = true;
    ASSERT_EQ(
        run_watching_port({std::string(VELLOMAR_BIN_DIR) + "/vmreg", "import", reg_file.string()},
                          &ignored),
        0);
  }

  vmtest::Machine machine_{"command"};
};

TEST_P(VellomarCommandTest, RunsTheCommandAndNeverOpensThePort) {
  const Command& command = GetParam();
  ASSERT_TRUE(vmtest::port_8000_refused()) << "something already listens on 127.0.0.1:8000";
  seed();
  std::vector<std::string> argv = {std::string(VELLOMAR_BIN_DIR) + "/vellomar"};
  argv.insert(argv.end(), command.args.begin(), command.args.end());

  bool port_stayed_closed = true;
  EXPECT_EQ(run_watching_port(argv, &port_stayed_closed), 0);
  EXPECT_TRUE(port_stayed_closed);

  const std::string install = "Software\\Vellomar\\Install";
  if (command.configures_ie) {
    EXPECT_EQ(read_value_text(HKEY_LOCAL_MACHINE, install, "Internet Explorer"),
              std::string("1", 2));
    for (const std::string& path : {IS, IS + "\\LAN"}) {
      EXPECT_EQ(read_value_text(HKEY_CURRENT_USER, path, "ProxyServer"),
                PROXY_STRING + std::string(1, '\0'));
      EXPECT_EQ(read_value_bytes(HKEY_CURRENT_USER, path, "ProxyEnable"),
                (std::vector<BYTE>{1, 0, 0, 0}));
    }
    for (const char* name : {"DefaultConnectionSettings", "My ISP"}) {
      std::vector<BYTE> record = read_value_bytes(HKEY_CURRENT_USER, IS + "\\Connections", name);
      ASSERT_EQ(record.size(), 92u) << name;
      EXPECT_EQ(record[8], 3) << name;
      EXPECT_EQ(std::string(record.begin() + 16, record.begin() + 56), PROXY_STRING);
    }
    EXPECT_EQ(
        read_value_bytes(HKEY_USERS, "S-1-5-21-1001\\" + IS + "\\Connections", "My ISP").size(),
        92u);
  } else {
    EXPECT_EQ(read_value_text(HKEY_LOCAL_MACHINE, install, "Internet Explorer"),
              command.configures_netscape ? "<no value>" : "<no key>");
    EXPECT_EQ(read_value_bytes(HKEY_CURRENT_USER, IS, "ProxyEnable"),
              (std::vector<BYTE>{0, 0, 0, 0}));
  }
  const fs::path prefs = machine_.drive_c() / "Netscape" / "Users" / "default" / "Prefs.js";
  EXPECT_EQ(fs::exists(prefs), command.configures_netscape);
  if (command.configures_netscape) {
    std::ifstream in(prefs, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("user_pref(\"network.proxy.type\", 1);\r\n"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, VellomarCommandTest,
                         ::testing::Values(Command{"I", {"I"}, true, false},
                                           Command{"N", {"N"}, false, true},
                                           Command{"IThenN", {"I", "N"}, true, false},
                                           Command{"R", {"R"}, false, false},
                                           Command{"LowerI", {"i"}, false, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
