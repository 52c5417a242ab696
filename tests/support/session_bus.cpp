// A session bus of a test's own.
#include "tests/support/session_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

extern char** environ;

namespace vmtest {

SessionBus::SessionBus(const std::vector<std::string>& environment) {
  if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) old_address_ = old;
  int pipe_fds[2];
  if (access(DBUS_DAEMON, X_OK) != 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, pipe_fds[1], 3);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {DBUS_DAEMON,   "--session",         "--nofork",
                        "--nopidfile", "--print-address=3", nullptr};
  std::vector<char*> variables;
  for (const std::string& variable : environment)
    variables.push_back(const_cast<char*>(variable.c_str()));
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable = *entry;
    const std::string_view name = variable.substr(0, variable.find('=') + 1);
    bool replaced = false;
    for (const std::string& given : environment) replaced |= given.starts_with(name);
    if (!replaced) variables.push_back(*entry);
  }
  variables.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, DBUS_DAEMON, &files, nullptr, const_cast<char**>(argv), variables.data());
  posix_spawn_file_actions_destroy(&files);
  close(pipe_fds[1]);
  // The address comes with a line end once the bus listens.
  std::string address;
  char c = 0;
  while (spawned == 0 && read(pipe_fds[0], &c, 1) == 1 && c != '\n') address.push_back(c);
  close(pipe_fds[0]);
  if (spawned != 0) return;
  if (address.empty()) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return;
  }
  pid_ = pid;
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

SessionBus::~SessionBus() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  if (old_address_) {
    setenv("DBUS_SESSION_BUS_ADDRESS", old_address_->c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

}  // namespace vmtest
