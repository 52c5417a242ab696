#include "tests/support/headless_chromium.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vmtest {

std::vector<std::string> chromium_through_vellomar(const std::filesystem::path& profile) {
  return {CHROMIUM,
          "--headless",
          "--no-sandbox",
          "--disable-gpu",
          "--no-first-run",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--proxy-server=http://127.0.0.1:8000",
          "--proxy-bypass-list=<-loopback>",
          "--user-data-dir=" + profile.string()};
}

std::string run_browser(const std::vector<std::string>& arguments,
                        const std::filesystem::path& out) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return "";
  const auto deadline = std::chrono::steady_clock::now() + BROWSER_TIMEOUT;
  while (waitpid(pid, nullptr, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return "";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vmtest
