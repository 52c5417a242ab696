// Helpers for the end-to-end tests of the tray application and the install
// tools: a machine folder of its own per test, programs started as separate
// processes with a chosen environment, recording stand-ins for the programs
// Vellomar starts, and reads of what the programs left behind.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

inline const std::string RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const std::string INSTALL_FLAGS_KEY = "Software\\Vellomar\\Install";
inline const std::string EXITING_LINE = "***************** Vellomar Exiting *****************";
// Longest wait for something a started program is expected to do.
constexpr auto PATIENCE = std::chrono::seconds(20);

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const fs::path& path, const std::string& text, bool executable = false) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  if (executable) fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// True when something on 127.0.0.1:8000 answers a request for the setup pages.
inline bool port_8000_serves() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  bool answered = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    char reply[64];
    answered = send(fd, request, sizeof request - 1, MSG_NOSIGNAL) > 0 &&
               recv(fd, reply, sizeof reply, 0) > 0;
  }
  close(fd);
  return answered;
}

inline bool port_8000_free() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool refused = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
  close(fd);
  return refused;
}

// Creates the key; with a non-empty name also sets that value as REG_SZ.
inline void set_value(HKEY root, const std::string& path, const std::string& name,
                      const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  if (!name.empty()) {
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }
  RegCloseKey(key);
}

// The text of a REG_SZ value without its terminating zero; "<none>" when the
// key or the value is missing.
inline std::string value_text(HKEY root, const std::string& path, const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<none>";
  char data[1024] = {};
  DWORD size = sizeof data - 1;
  LONG result =
      RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "<none>";
  return std::string(data, size).c_str();
}

struct Outcome {
  int status = -1;  // exit status, or -1 when the program did not end normally
  std::string out;
};

// One machine folder with its own registry, message box log and a folder of
// stand-in programs that comes first on PATH.
class Machine {
 public:
  Machine() {
    char pattern[] = "/tmp/vm-e2e-XXXXXX";
    root_ = mkdtemp(pattern);
    prefix_ = root_ / "machine";
    // Every machine has its C: drive.
    fs::create_directories(prefix_ / "drive_c");
    fs::create_directories(stand_ins());
    setenv("VELLOMAR_PREFIX", prefix_.c_str(), 1);
    // The desktop side of the browser switches acts on $HOME: keep it here.
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    unsetenv("XDG_CURRENT_DESKTOP");
  }
  ~Machine() {
    end_tray_program();
    for (pid_t pid : background_) {
      if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const fs::path& root() const { return root_; }
  const fs::path& prefix() const { return prefix_; }
  fs::path stand_ins() const { return root_ / "bin"; }
  fs::path install_dir() const { return prefix_ / "drive_c" / "Program Files" / "Vellomar"; }
  fs::path box_log() const { return root_ / "boxes.jsonl"; }
  fs::path socket() const { return prefix_ / "vmtray.socket"; }

  // The message boxes shown so far, one JSON line each.
  std::vector<std::string> boxes() const {
    std::vector<std::string> lines;
    std::istringstream text(read_file(box_log()));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  // A stand-in program that appends the number of its arguments and the
  // arguments (one line, separated by "|"; a script cannot see its argv[0])
  // to stand_ins()/NAME.calls and ends with `status`.
  void record_calls(const std::string& name, int status = 0) {
    fs::path calls = stand_ins() / (name + ".calls");
    write_file(stand_ins() / name,
               "#!/bin/sh\n"
               "line=\"$#\"\nfor a in \"$@\"; do line=\"$line|$a\"; done\n"
               "echo \"$line\" >> '" +
                   calls.string() + "'\nexit " + std::to_string(status) + "\n",
               true);
  }
  std::string calls(const std::string& name) const {
    return read_file(stand_ins() / (name + ".calls"));
  }

  // Starts a program; `answer` answers its Yes/No boxes ("" leaves them to
  // the default, no).
  pid_t start(const std::vector<std::string>& argv, const fs::path& directory,
              const std::string& answer = "", const fs::path& out = "/dev/null") {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string variable = *entry;
      if (variable.rfind("VELLOMAR_", 0) == 0 || variable.rfind("PATH=", 0) == 0) continue;
      variables.push_back(variable);
    }
    const char* path = std::getenv("PATH");
    variables.push_back("PATH=" + stand_ins().string() + ":" + (path ? path : "/usr/bin:/bin"));
    variables.push_back("VELLOMAR_PREFIX=" + prefix_.string());
    variables.push_back("VELLOMAR_MSGBOX_LOG=" + box_log().string());
    if (!answer.empty()) variables.push_back("VELLOMAR_MSGBOX_ANSWER=" + answer);
    std::vector<char*> args, env;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& v : variables) env.push_back(const_cast<char*>(v.c_str()));
    env.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(directory.c_str()) != 0) _exit(127);
      int null_in = open("/dev/null", O_RDONLY);
      int output = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(null_in, 0);
      dup2(output, 1);
      dup2(output, 2);
      execve(args[0], args.data(), env.data());
      _exit(127);
    }
    return pid;
  }

  // Waits for a started program; -1 when it did not end normally in time.
  static int wait_for(pid_t pid) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
    for (;;) {
      pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (done < 0 || std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  Outcome run(const std::vector<std::string>& argv, const fs::path& directory,
              const std::string& answer = "") {
    fs::path out = root_ / "out.txt";
    Outcome outcome;
    outcome.status = wait_for(start(argv, directory, answer, out));
    outcome.out = read_file(out);
    return outcome;
  }

  Outcome vmtray(const std::vector<std::string>& arguments, const std::string& answer = "") {
    std::vector<std::string> argv{std::string(VELLOMAR_BIN_DIR) + "/vmtray"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv, root_, answer);
  }

  // Starts a program that keeps running; the machine kills it at the end.
  pid_t start_background(const std::vector<std::string>& argv, const fs::path& directory,
                         const std::string& answer = "") {
    pid_t pid = start(argv, directory, answer, root_ / "background.txt");
    background_.push_back(pid);
    return pid;
  }
  void forget(pid_t pid) { std::erase(background_, pid); }

  // Copies the distribution's files the way setup names them.
  void install_files(bool with_remove_program = true) {
    fs::create_directories(install_dir());
    const fs::path dist = VELLOMAR_DIST_DIR;
    for (auto [from, to] :
         std::vector<std::pair<std::string, std::string>>{{"Vellomar.ini", "Vellomar.ini"},
                                                          {"Vellomar.log", "Vellomar.log"},
                                                          {"Vellomar.EX_", "Vellomar.exe"},
                                                          {"VMRemove.exe", "VMRemove.exe"}}) {
      if (!with_remove_program && to == "VMRemove.exe") continue;
      fs::copy_file(dist / from, install_dir() / to, fs::copy_options::overwrite_existing);
    }
  }

  // The registry a fresh desktop has, with the activity log switched on.
  void seed_registry(bool log_enabled = true) {
    set_value(HKEY_LOCAL_MACHINE, RUN_KEY, "", "");
    if (log_enabled) set_value(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", "Enabled", "1");
  }

  std::string log() const { return read_file(install_dir() / "Vellomar.log"); }

  // Ends a tray application still running in this machine, also one that
  // setup started (not a child of the test): the tray socket names its
  // process.
  void end_tray_program() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket().c_str(), sizeof address.sun_path - 1);
    ucred peer{};
    socklen_t size = sizeof peer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0) {
      kill(peer.pid, SIGTERM);
      for (int i = 0; i < 100 && kill(peer.pid, 0) == 0; ++i) {
        waitpid(peer.pid, nullptr, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (kill(peer.pid, 0) == 0) kill(peer.pid, SIGKILL);
    }
    close(fd);
  }

 private:
  fs::path root_;
  fs::path prefix_;
  std::vector<pid_t> background_;
};

// One message box as the log writes it, for comparing.
inline std::string box(const std::string& caption, const std::string& text, int type,
                       const std::string& answer) {
  std::string escaped;
  for (char c : text) {
    if (c == '\n')
      escaped += "\\n";
    else if (c == '\r')
      escaped += "\\r";
    else if (c == '"')
      escaped += "\\\"";
    else
      escaped += c;
  }
  return "{\"caption\":\"" + caption + "\",\"text\":\"" + escaped +
         "\",\"type\":" + std::to_string(type) + ",\"answer\":\"" + answer + "\"}";
}

}  // namespace e2e
