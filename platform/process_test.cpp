#include "platform/process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tests/support/machine.h"

namespace fs = std::filesystem;

namespace {

// A current directory and a PATH of the test's own (the system's folders
// stay on PATH after it, for the shell's own tools).
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = machine_.root().string();
    cwd_ = root_ + "/cwd";
    bin_ = root_ + "/bin";
    out_ = root_ + "/out.txt";
    fs::create_directories(bin_);
    machine_.enter(cwd_);
    setenv("PATH", (bin_ + ":/usr/bin:/bin").c_str(), 1);
    unsetenv("VISUAL");
    unsetenv("EDITOR");
    unsetenv("BROWSER");
  }

  // A shell script that appends `label` and its arguments to out.txt.
  void script(const std::string& path, const std::string& label, const std::string& tail = "",
              bool executable = true) {
    std::ofstream file(path);
    file << "#!/bin/sh\necho \"" << label << " $# [$1] [$2]\" >> '" << out_ << "'\n" << tail;
    file.close();
    chmod(path.c_str(), executable ? 0755 : 0644);
  }
  std::string output() { return vmtest::read_file(out_); }

  vmtest::Machine machine_{"process"};
  std::string root_, cwd_, bin_, out_;
};

TEST_F(ProcessTest, CurrentDirectoryComesBeforePath) {
  script(bin_ + "/tool", "path");
  script(cwd_ + "/Tool.EXE", "cwd", "exit 3\n");
  int status = -1;
  ASSERT_EQ(start_program("tool", {"tool", "a b", ""}, true, &status), 0);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(output(), "cwd 2 [a b] []\n");
  fs::remove(cwd_ + "/Tool.EXE");
  ASSERT_EQ(start_program("TOOL", {"TOOL"}, true, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output(), "cwd 2 [a b] []\npath 0 [] []\n");
}

TEST_F(ProcessTest, ExtensionsAreTriedInOrder) {
  const char* names[] = {"tool.com", "TOOL.Exe", "Tool.bat", "tool.CMD", "Tool"};
  for (const char* name : names) script(cwd_ + "/" + name, name);
  std::string expected;
  for (const char* name : names) {
    int status = -1;
    ASSERT_EQ(start_program("tool", {"tool"}, true, &status), 0) << name;
    expected += std::string(name) + " 0 [] []\n";
    EXPECT_EQ(output(), expected);
    fs::remove(cwd_ + "/" + name);
  }
  EXPECT_EQ(start_program("tool", {"tool"}, true, nullptr), -1);
}

TEST_F(ProcessTest, FilesThatCannotRunArePassedOverButBatchFilesRun) {
  script(cwd_ + "/tool.exe", "not executable", "", false);
  script(bin_ + "/tool.bat", "batch", "", false);
  int status = -1;
  ASSERT_EQ(start_program("tool", {"tool", "x"}, true, &status), 0);
  EXPECT_EQ(output(), "batch 1 [x] []\n");
  // A batch file without a "#!" line is read by the shell too.
  std::ofstream(cwd_ + "/plain.cmd") << "echo plain \"$1\" >> '" << out_ << "'\n";
  chmod((cwd_ + "/plain.cmd").c_str(), 0755);
  ASSERT_EQ(start_program("plain", {"plain", "y"}, true, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output(), "batch 1 [x] []\nplain y\n");
}

struct StatusCase {
  const char* body;
  int expected;
};

void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << "status_" << c.expected;
}

class ExitStatusTest : public ProcessTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatusTest, ReportsStatus) {
  platform::init_process();
  {
    std::ofstream file(cwd_ + "/vmremove.exe");
    file << "#!/bin/bash\n" << GetParam().body << "\n";
  }
  chmod((cwd_ + "/vmremove.exe").c_str(), 0755);
  int status = 12345;
  ASSERT_EQ(start_program("vmremove", {"vmremove", ""}, true, &status), 0);
  EXPECT_EQ(status, GetParam().expected);
}

// A signal counts as 128 plus its number; SIGPIPE is back to its default in
// the program even though this process ignores it.
INSTANTIATE_TEST_SUITE_P(Statuses, ExitStatusTest,
                         ::testing::Values(StatusCase{"exit 0", 0}, StatusCase{"exit 1", 1},
                                           StatusCase{"exit -1", 255},
                                           StatusCase{"kill -9 $$", 128 + SIGKILL},
                                           StatusCase{"kill -PIPE $$; exit 0", 128 + SIGPIPE}));

TEST_F(ProcessTest, StartWithoutWaitLeavesNoChild) {
  platform::init_process();
  script(cwd_ + "/slow.exe", "slow", "sleep 0.3\necho done >> '" + out_ + "'\n");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(start_program("slow", {"slow", "arg"}, false, nullptr), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  // The program belongs to init: this process has no child left to wait for.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  for (int i = 0; i < 100 && output().find("done") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(output(), "slow 1 [arg] []\ndone\n");
}

TEST_F(ProcessTest, WaitOfOneThreadIsNotTakenByAnother) {
  script(cwd_ + "/waited.exe", "waited", "sleep 0.3\nexit 7\n");
  script(cwd_ + "/quick.exe", "quick");
  int status = -1;
  std::thread waiter([&status] { start_program("waited", {"waited"}, true, &status); });
  for (int i = 0; i < 10; ++i) ASSERT_EQ(start_program("quick", {"quick"}, false, nullptr), 0);
  waiter.join();
  EXPECT_EQ(status, 7);
}

TEST_F(ProcessTest, MissingProgramFails) {
  int status = 99;
  EXPECT_EQ(start_program("nosuchprogram", {"nosuchprogram"}, true, &status), -1);
  EXPECT_EQ(status, 99);
  EXPECT_EQ(start_program("nosuchprogram", {"nosuchprogram"}, false, nullptr), -1);
  EXPECT_EQ(start_program("", {}, false, nullptr), -1);
}

TEST_F(ProcessTest, NotepadFallsBackToEditor) {
  script(bin_ + "/myeditor", "editor");
  std::ofstream(cwd_ + "/vellomar.log") << "log";
  setenv("EDITOR", "myeditor --flag", 1);
  int status = -1;
  ASSERT_EQ(start_program("notepad", {"notepad", "Vellomar.log"}, true, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output(), "editor 2 [--flag] [" + cwd_ + "/vellomar.log]\n");
  // $VISUAL comes first; one that does not exist is passed over.
  setenv("VISUAL", "/no/such/editor", 1);
  ASSERT_EQ(start_program("notepad", {"notepad", "new.txt"}, true, &status), 0);
  EXPECT_EQ(output(),
            "editor 2 [--flag] [" + cwd_ + "/vellomar.log]\neditor 2 [--flag] [new.txt]\n");
}

TEST_F(ProcessTest, RealNotepadIsPreferred) {
  script(cwd_ + "/NOTEPAD.EXE", "notepad");
  setenv("EDITOR", "/bin/true", 1);
  ASSERT_EQ(start_program("notepad", {"notepad", "Vellomar.txt"}, true, nullptr), 0);
  EXPECT_EQ(output(), "notepad 1 [Vellomar.txt] []\n");
}

TEST_F(ProcessTest, ExplorerFallsBackToBrowserThenOpener) {
  script(bin_ + "/browser", "browser");
  script(bin_ + "/xdg-open", "opener");
  setenv("BROWSER", "nobrowser:browser", 1);
  const std::vector<std::string> args = {"http://127.0.0.1:8000/", "http://127.0.0.1:8000/"};
  ASSERT_EQ(start_program("explorer", args, true, nullptr), 0);
  unsetenv("BROWSER");
  ASSERT_EQ(start_program("explorer", args, true, nullptr), 0);
  EXPECT_EQ(output(),
            "browser 1 [http://127.0.0.1:8000/] []\nopener 1 [http://127.0.0.1:8000/] []\n");
}

TEST_F(ProcessTest, NoOpenerFailsCleanly) {
  setenv("PATH", bin_.c_str(), 1);
  setenv("EDITOR", "noeditor", 1);
  EXPECT_EQ(start_program("notepad", {"notepad", "x.txt"}, false, nullptr), -1);
  EXPECT_EQ(start_program("explorer", {"explorer", "http://x/"}, false, nullptr), -1);
}

TEST_F(ProcessTest, NameWithFolderIsLookedForThere) {
  fs::create_directories(cwd_ + "/Program");
  script(cwd_ + "/Program/netscape.exe", "browser");
  ASSERT_EQ(start_program(cwd_ + "/program/NETSCAPE", {"url", "url"}, true, nullptr), 0);
  EXPECT_EQ(output(), "browser 1 [url] []\n");
}

TEST(ThreadTest, RunsDetachedWithLargeStack) {
  struct Seen {
    std::atomic<bool> done{false};
    std::size_t stack = 0;
    bool detached = false;
  } seen;
  ASSERT_EQ(start_thread(
                [](void* arg) {
                  auto* s = static_cast<Seen*>(arg);
                  pthread_attr_t attributes;
                  pthread_getattr_np(pthread_self(), &attributes);
                  pthread_attr_getstacksize(&attributes, &s->stack);
                  int state = 0;
                  pthread_attr_getdetachstate(&attributes, &state);
                  s->detached = state == PTHREAD_CREATE_DETACHED;
                  pthread_attr_destroy(&attributes);
                  s->done = true;
                },
                &seen),
            0);
  for (int i = 0; i < 500 && !seen.done; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(seen.done);
  EXPECT_GE(seen.stack, THREAD_STACK_SIZE);
  EXPECT_TRUE(seen.detached);
}

// Threads are reused once their work ends, but work is never handed to a
// thread that is still busy: every one of these entries waits until all of
// them have started, which only works when each has a thread of its own.
TEST(ThreadTest, ConcurrentWorkEachGetsItsOwnThread) {
  constexpr int kWorkers = 48;  // more than the threads kept parked
  struct Shared {
    std::mutex mutex;
    std::condition_variable all_started;
    int started = 0;
    int finished = 0;
    std::set<pthread_t> threads;
  } shared;
  for (int round = 0; round < 3; ++round) {
    shared.started = 0;
    shared.finished = 0;
    for (int i = 0; i < kWorkers; ++i) {
      ASSERT_EQ(start_thread(
                    [](void* arg) {
                      auto* s = static_cast<Shared*>(arg);
                      std::unique_lock<std::mutex> lock(s->mutex);
                      s->threads.insert(pthread_self());
                      ++s->started;
                      s->all_started.notify_all();
                      s->all_started.wait_for(lock, std::chrono::seconds(10),
                                              [&] { return s->started == kWorkers; });
                      if (s->started == kWorkers) ++s->finished;
                      s->all_started.notify_all();
                    },
                    &shared),
                0);
    }
    std::unique_lock<std::mutex> lock(shared.mutex);
    ASSERT_TRUE(shared.all_started.wait_for(lock, std::chrono::seconds(20),
                                            [&] { return shared.finished == kWorkers; }))
        << "round " << round << ": " << shared.started << " started, " << shared.finished
        << " finished";
  }
  // Later rounds ran on threads parked by earlier ones.
  std::lock_guard<std::mutex> lock(shared.mutex);
  EXPECT_LT(shared.threads.size(), 3u * kWorkers);
}

TEST(StandardStreamsTest, PointAtNullDevice) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(0);
    detach_standard_streams();
    struct stat null_info, info;
    if (stat("/dev/null", &null_info) != 0) _exit(2);
    for (int fd = 0; fd <= 2; ++fd) {
      if (fstat(fd, &info) != 0 || info.st_rdev != null_info.st_rdev) _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(InitProcessTest, IgnoresBrokenPipe) {
  platform::init_process();
  struct sigaction action;
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
}

}  // namespace
