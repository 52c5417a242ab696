// Starting programs by bare name, threads with a known stack, and the
// process-wide set-up.
//
// A program is started with fork and execve; everything the child needs is
// prepared before the fork, so that the child calls only functions that are
// safe after a fork in a threaded process. A pipe that closes on exec tells
// the parent whether the program really started: it carries the errno of a
// failed execve and nothing otherwise.
//
// A program not waited for is started from an intermediate child that exits
// at once; the parent reaps only that child (waitpid on its pid), and the
// program itself is adopted and reaped by init. No SIGCHLD handler is set and
// no wait for any child is made, so a thread that waits for a program of its
// own (the tray waiting for the remove program) never loses its status.
//
// Exit status: a program that exits gives its status (0 to 255, so -1 reads
// as 255); a program killed by a signal gives 128 plus the signal's number,
// as the shell does.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/files.h"

extern char** environ;

namespace {

// Extensions tried at each place, in order; the bare name comes last.
constexpr const char* PROGRAM_EXTENSIONS[] = {".com", ".exe", ".bat", ".cmd", ""};
constexpr int EXTENSION_COUNT = sizeof PROGRAM_EXTENSIONS / sizeof PROGRAM_EXTENSIONS[0];

bool is_script_extension(int index) {
  return index == 2 || index == 3;
}

// A program found on disk and how to run it.
struct Found {
  std::string path;
  bool through_shell = false;  // a .bat or .cmd file without execute permission
};

bool regular_file(const std::string& path, bool* executable) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *executable = access(path.c_str(), X_OK) == 0;
  return true;
}

// Looks in one folder for base plus each extension, names compared without
// case (an exact match preferred). A file that cannot be run is passed over.
bool find_in_folder(const std::string& folder, const std::string& base, Found* found) {
  std::string matches[EXTENSION_COUNT];
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return false;
  while (dirent* entry = readdir(dir)) {
    const std::size_t length = std::strlen(entry->d_name);
    if (length < base.size() || strncasecmp(entry->d_name, base.c_str(), base.size()) != 0) {
      continue;
    }
    const char* rest = entry->d_name + base.size();
    for (int i = 0; i < EXTENSION_COUNT; ++i) {
      if (strcasecmp(rest, PROGRAM_EXTENSIONS[i]) != 0) continue;
      const std::string wanted = base + PROGRAM_EXTENSIONS[i];
      std::string& match = matches[i];
      // Exact first, then the lowest in byte order, so the choice is stable.
      if (match.empty() || (match != wanted && (wanted == entry->d_name ||
                                                std::strcmp(entry->d_name, match.c_str()) < 0))) {
        match = entry->d_name;
      }
    }
  }
  closedir(dir);
  for (int i = 0; i < EXTENSION_COUNT; ++i) {
    if (matches[i].empty()) continue;
    const std::string path = (folder.empty() ? std::string(".") : folder) + "/" + matches[i];
    bool executable = false;
    if (!regular_file(path, &executable)) continue;
    if (executable) {
      *found = Found{path, false};
      return true;
    }
    if (is_script_extension(i)) {
      *found = Found{path, true};
      return true;
    }
  }
  return false;
}

// Calls `visit` with each folder of PATH in order ("." for an empty entry)
// until it returns true; whether one did.
template <typename Visit>
bool any_path_folder(Visit visit) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  const std::string folders = path;
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(start, end - start);
    if (visit(folder.empty() ? std::string(".") : folder)) return true;
    start = end + 1;
  }
  return false;
}

// The current directory, then each folder of PATH. A name that carries a
// folder ("C:\Program Files\Netscape\Program\NETSCAPE") is looked for there
// only.
bool find_program(const std::string& name, Found* found) {
  if (name.empty()) return false;
  const std::size_t last = name.find_last_of("\\/:");
  if (last != std::string::npos) {
    const std::string folder = platform::host_path(name.substr(0, last + 1));
    return find_in_folder(folder, name.substr(last + 1), found);
  }
  if (find_in_folder(".", name, found)) return true;
  // The current directory was searched first; PATH's "." and empty entries
  // name it again.
  return any_path_folder([&](const std::string& folder) {
    return folder != "." && find_in_folder(folder, name, found);
  });
}

// The first word of a command such as "$EDITOR" resolves to a program.
bool command_exists(const char* command) {
  if (command == nullptr) return false;
  const char* start = command;
  while (*start == ' ' || *start == '\t') ++start;
  const char* end = start;
  while (*end != '\0' && *end != ' ' && *end != '\t') ++end;
  if (end == start) return false;
  const std::string word(start, end);
  if (word.find('/') != std::string::npos) return access(word.c_str(), X_OK) == 0;
  return any_path_folder([&](const std::string& folder) {
    bool executable = false;
    return regular_file(folder + "/" + word, &executable) && executable;
  });
}

// The whole argument vector of the process to run, as owned strings.
struct Command {
  std::string program;  // the file execve runs
  std::vector<std::string> args;
};

// The desktop's opener for "notepad" and "explorer" when no such program
// exists. A command from the environment may carry its own arguments, so it
// is run by the shell ("$EDITOR" "$@"), after checking that its program exists.
bool fallback_command(const std::string& name, const std::vector<std::string>& argv,
                      Command* command) {
  const bool notepad = strcasecmp(name.c_str(), "notepad") == 0;
  const bool explorer = strcasecmp(name.c_str(), "explorer") == 0;
  if (!notepad && !explorer) return false;

  std::vector<std::string> operands;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (argv[i].empty()) continue;
    // A file name of the desktop becomes the host's; anything else (an
    // address) is passed on as it is.
    std::string operand = argv[i];
    if (notepad) {
      const std::string host = platform::host_path(operand);
      if (access(host.c_str(), F_OK) == 0) operand = host;
    }
    operands.push_back(operand);
  }

  std::string chosen;
  if (notepad) {
    for (const char* variable : {"VISUAL", "EDITOR"}) {
      const char* value = std::getenv(variable);
      if (command_exists(value)) {
        chosen = value;
        break;
      }
    }
  } else if (const char* browsers = std::getenv("BROWSER"); browsers != nullptr) {
    // $BROWSER may list several commands separated by ":".
    std::string list = browsers;
    std::size_t start = 0;
    while (start <= list.size() && chosen.empty()) {
      std::size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      const std::string entry = list.substr(start, end - start);
      if (command_exists(entry.c_str())) chosen = entry;
      start = end + 1;
    }
  }
  if (!chosen.empty()) {
    command->program = "/bin/sh";
    command->args = {"sh", "-c", chosen + " \"$@\"", "sh"};
  } else if (Found opener; find_program("xdg-open", &opener)) {
    command->program = opener.path;
    command->args = {"xdg-open"};
  } else {
    return false;
  }
  command->args.insert(command->args.end(), operands.begin(), operands.end());
  return true;
}

// Runs in the child after fork: only async-signal-safe calls from here on.
// A file that is not a binary and has no "#!" line is handed to the shell,
// as the command prompt does with a batch file (shell_args).
[[noreturn]] void exec_child(const char* program, char* const* args, char* const* shell_args,
                             int report_fd) {
  // Signal dispositions and mask the program should start with: SIGPIPE is
  // ignored in this process and blocked signals would stay blocked.
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Sockets and files of this process are not the program's business.
  syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
  execve(program, args, environ);
  if (errno == ENOEXEC) execve("/bin/sh", shell_args, environ);
  const int error = errno;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

// Reads the start report: 0 when the program started, else its errno.
int read_report(int fd) {
  int error = 0;
  ssize_t n;
  do {
    n = read(fd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

pid_t wait_for(pid_t pid, int* status) {
  pid_t result;
  do {
    result = waitpid(pid, status, 0);
  } while (result < 0 && errno == EINTR);
  return result;
}

int run(const Command& command, bool wait, int* exit_status) {
  std::vector<char*> args;
  for (const std::string& arg : command.args) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const char* program = command.program.c_str();
  std::vector<char*> shell_args = {const_cast<char*>("sh"), const_cast<char*>(program)};
  shell_args.insert(shell_args.end(), args.begin() + (args.size() > 1 ? 1 : 0), args.end());

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return -1;
  }
  if (child == 0) {
    close(report[0]);
    if (wait) exec_child(program, args.data(), shell_args.data(), report[1]);
    // The intermediate child: starts the program and leaves it to init.
    const pid_t grandchild = fork();
    if (grandchild == 0) exec_child(program, args.data(), shell_args.data(), report[1]);
    if (grandchild < 0) {
      const int error = errno;
      ssize_t ignored = write(report[1], &error, sizeof error);
      (void)ignored;
    }
    _exit(0);
  }
  close(report[1]);
  const int error = read_report(report[0]);
  int status = 0;
  if (!wait) {
    wait_for(child, &status);
    if (error != 0) {
      errno = error;
      return -1;
    }
    return 0;
  }
  if (wait_for(child, &status) < 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  if (exit_status != nullptr) {
    if (WIFEXITED(status)) {
      *exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      *exit_status = 128 + WTERMSIG(status);
    } else {
      *exit_status = 255;
    }
  }
  return 0;
}

// Threads are kept for reuse: one whose work has ended parks for a while and
// takes the next start_thread() call instead of ending. A proxy starts a
// thread per browser connection, and with one connection per request the
// thread's creation and end (clone, a fresh stack's page faults, the stack's
// release, a new malloc arena and registry connection) cost more than the
// request itself. Parked threads are few and short-lived, so an idle program
// soon holds none.
constexpr std::size_t MAX_PARKED_THREADS = 32;
constexpr auto PARKED_THREAD_LIFETIME = std::chrono::seconds(10);

struct Work {
  void (*entry)(void*);
  void* arg;
};

// One parked thread's slot; it lives on that thread's stack while it waits.
struct ParkedThread {
  std::condition_variable wake;
  Work work{nullptr, nullptr};
  bool has_work = false;
};

struct ThreadPark {
  std::mutex mutex;
  std::vector<ParkedThread*> parked;  // the most recently parked last
};

// Never destroyed: parked threads may still wait on it while the process
// exits.
ThreadPark& thread_park() {
  static ThreadPark* park = new ThreadPark;
  return *park;
}

// Hands `work` to a parked thread; false when none is waiting.
bool wake_parked_thread(const Work& work) {
  ThreadPark& park = thread_park();
  std::lock_guard<std::mutex> lock(park.mutex);
  if (park.parked.empty()) return false;
  // The most recently parked thread has the warmest stack and caches.
  ParkedThread* thread = park.parked.back();
  park.parked.pop_back();
  thread->work = work;
  thread->has_work = true;
  thread->wake.notify_one();
  return true;
}

// Waits for the next piece of work; false when the thread should end (the
// park is full, or no work came in time).
bool park_until_work(Work* work) {
  ThreadPark& park = thread_park();
  ParkedThread self;
  std::unique_lock<std::mutex> lock(park.mutex);
  if (park.parked.size() >= MAX_PARKED_THREADS) return false;
  park.parked.push_back(&self);
  if (!self.wake.wait_for(lock, PARKED_THREAD_LIFETIME, [&] { return self.has_work; })) {
    // Not handed out (wake_parked_thread removes the slot when it does).
    park.parked.erase(std::find(park.parked.begin(), park.parked.end(), &self));
    return false;
  }
  *work = self.work;
  return true;
}

void* thread_main(void* start) {
  Work work = *static_cast<Work*>(start);
  delete static_cast<Work*>(start);
  do {
    work.entry(work.arg);
  } while (park_until_work(&work));
  return nullptr;
}

}  // namespace

int start_program(const std::string& name, const std::vector<std::string>& argv, bool wait,
                  int* exit_status) {
  Command command;
  Found found;
  if (find_program(name, &found)) {
    std::vector<std::string> args = argv;
    if (args.empty()) args.push_back(name);
    if (found.through_shell) {
      // A batch file without execute permission: the shell reads it, with the
      // remaining arguments as its positional parameters.
      command.program = "/bin/sh";
      command.args = {"sh", found.path};
      command.args.insert(command.args.end(), args.begin() + 1, args.end());
    } else {
      command.program = found.path;
      command.args = std::move(args);
    }
  } else if (!fallback_command(name, argv, &command)) {
    errno = ENOENT;
    return -1;
  }
  return run(command, wait, exit_status);
}

int start_thread(void (*entry)(void*), void* arg) {
  const Work work{entry, arg};
  if (wake_parked_thread(work)) return 0;
  auto* start = new (std::nothrow) Work(work);
  if (start == nullptr) return -1;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    delete start;
    return -1;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, THREAD_STACK_SIZE);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, thread_main, start);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete start;
    return -1;
  }
  return 0;
}

void detach_standard_streams() {
  const int null = open("/dev/null", O_RDWR);
  if (null < 0) return;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fd != null) dup2(null, fd);
  }
  if (null > 2) close(null);
}

namespace platform {

void init_process() {
  // Started with standard input, output or error closed, the next file or
  // socket would take that number and receive stray writes meant for it.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) close(opened);
    }
  }
  // Each browser connection takes a socket, its upstream connection another
  // and its registry connection a few more: allow as many as the system does.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace platform
