// Running the built programs end to end.
#include "tests/support/programs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "tests/support/registry.h"

extern char** environ;

namespace vmtest {
namespace {

int connect_8000(int* error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

bool port_8000_serves() {
  int error = 0;
  const int fd = connect_8000(&error);
  if (fd < 0) return false;
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const char request[] = "GET / HTTP/1.0\r\n\r\n";
  char reply[64];
  const bool answered = send(fd, request, sizeof request - 1, MSG_NOSIGNAL) > 0 &&
                        recv(fd, reply, sizeof reply, 0) > 0;
  close(fd);
  return answered;
}

bool port_8000_refused() {
  int error = 0;
  const int fd = connect_8000(&error);
  if (fd >= 0) close(fd);
  return fd < 0 && error == ECONNREFUSED;
}

ProgramMachine::ProgramMachine(std::string_view tag) : Machine(tag) {
  fs::create_directories(drive_c());
  fs::create_directories(stand_ins());
}

ProgramMachine::~ProgramMachine() {
  end_tray_program();
  for (pid_t pid : background_) {
    if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
}

void ProgramMachine::record_calls(const std::string& name, int status) {
  const fs::path calls = stand_ins() / (name + ".calls");
  write_file(stand_ins() / name,
             "#!/bin/sh\n"
             "line=\"$#\"\nfor a in \"$@\"; do line=\"$line|$a\"; done\n"
             "echo \"$line\" >> '" +
                 calls.string() + "'\nexit " + std::to_string(status) + "\n",
             true);
}

std::string ProgramMachine::calls(const std::string& name) const {
  return read_file(stand_ins() / (name + ".calls"));
}

pid_t ProgramMachine::start(const std::vector<std::string>& argv, const fs::path& directory,
                            const std::string& answer, const fs::path& out) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    if (variable.rfind("VELLOMAR_", 0) == 0 || variable.rfind("PATH=", 0) == 0) continue;
    variables.push_back(variable);
  }
  const char* path = std::getenv("PATH");
  variables.push_back("PATH=" + stand_ins().string() + ":" + (path ? path : "/usr/bin:/bin"));
  variables.push_back("VELLOMAR_PREFIX=" + prefix().string());
  variables.push_back("VELLOMAR_MSGBOX_LOG=" + box_log().string());
  if (!answer.empty()) variables.push_back("VELLOMAR_MSGBOX_ANSWER=" + answer);
  variables.insert(variables.end(), extra_environment.begin(), extra_environment.end());
  std::vector<char*> args, env;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& v : variables) env.push_back(const_cast<char*>(v.c_str()));
  env.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(directory.c_str()) != 0) _exit(127);
    const int null_in = open("/dev/null", O_RDONLY);
    const int output = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(null_in, 0);
    dup2(output, 1);
    dup2(output, 2);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  return pid;
}

int ProgramMachine::wait_for(pid_t pid) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Outcome ProgramMachine::run(const std::vector<std::string>& argv, const fs::path& directory,
                            const std::string& answer) {
  const fs::path out = root() / "out.txt";
  Outcome outcome;
  outcome.status = wait_for(start(argv, directory, answer, out));
  outcome.out = read_file(out);
  return outcome;
}

Outcome ProgramMachine::vmtray(const std::vector<std::string>& arguments,
                               const std::string& answer) {
  std::vector<std::string> argv{std::string(VELLOMAR_BIN_DIR) + "/vmtray"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv, root(), answer);
}

pid_t ProgramMachine::start_background(const std::vector<std::string>& argv,
                                       const fs::path& directory, const std::string& answer) {
  const pid_t pid = start(argv, directory, answer, root() / "background.txt");
  background_.push_back(pid);
  return pid;
}

void ProgramMachine::forget(pid_t pid) {
  std::erase(background_, pid);
}

void ProgramMachine::install_files(bool with_remove_program) {
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

void ProgramMachine::seed_registry(bool log_enabled) {
  create_key(HKEY_LOCAL_MACHINE, RUN_KEY);
  if (log_enabled) set_string(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", "Enabled", "1");
}

void ProgramMachine::end_tray_program() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

std::string box(const std::string& caption, const std::string& text, int type,
                const std::string& answer) {
  std::string escaped;
  for (char c : text) {
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '"') {
      escaped += "\\\"";
    } else {
      escaped += c;
    }
  }
  return "{\"caption\":\"" + caption + "\",\"text\":\"" + escaped +
         "\",\"type\":" + std::to_string(type) + ",\"answer\":\"" + answer + "\"}";
}

}  // namespace vmtest
