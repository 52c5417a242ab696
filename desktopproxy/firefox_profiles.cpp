#include "desktopproxy/firefox_profiles.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>

#include "desktopproxy/host_files.h"
#include "desktopproxy/user_js.h"
#include "desktopproxy/user_paths.h"
#include "text/text_helpers.h"

namespace desktopproxy {
namespace {

// Where Firefox and the forks that share its profile layout keep
// profiles.ini, relative to the configuration folder and to the home folder.
constexpr const char* CONFIG_LAYOUTS[] = {
    "mozilla/firefox", "mozilla/firefox-esr", "mozilla/icecat", "librewolf", "waterfox", "floorp"};
constexpr const char* HOME_LAYOUTS[] = {".mozilla/firefox",
                                        ".mozilla/firefox-esr",
                                        ".mozilla/icecat",
                                        ".librewolf",
                                        ".waterfox",
                                        ".floorp",
                                        ".var/app/org.mozilla.firefox/.mozilla/firefox",
                                        ".var/app/org.mozilla.firefox/config/mozilla/firefox",
                                        "snap/firefox/common/.mozilla/firefox"};

constexpr mode_t NEW_USER_JS_MODE = 0644;

bool is_folder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A running Firefox holds a POSIX lock on .parentlock and keeps a "lock"
// symbolic link naming its address and process number.
bool profile_in_use(const std::string& folder) {
  int fd = open((folder + "/.parentlock").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    if (held) return true;
  }
  char target[256];
  ssize_t length = readlink((folder + "/lock").c_str(), target, sizeof target - 1);
  if (length <= 0) return false;
  target[length] = '\0';
  const char* plus = std::strrchr(target, '+');
  if (plus == nullptr) return false;
  long pid = std::strtol(plus + 1, nullptr, 10);
  if (pid <= 0 || pid > INT_MAX) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

std::vector<std::string> profile_folders_in(std::string_view profiles_ini,
                                            const std::string& base) {
  std::vector<std::string> folders;
  bool in_profile = false;
  std::string path;
  bool relative = false;
  auto finish = [&] {
    if (in_profile && !path.empty()) folders.push_back(relative ? base + "/" + path : path);
    path.clear();
    relative = false;
  };
  std::size_t start = 0;
  while (start <= profiles_ini.size()) {
    std::size_t end = profiles_ini.find('\n', start);
    if (end == std::string_view::npos) end = profiles_ini.size();
    std::string_view line = trim_line(profiles_ini.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      finish();
      in_profile = line.substr(0, 8) == "[Profile";
      continue;
    }
    std::size_t equals = line.find('=');
    if (!in_profile || equals == std::string_view::npos) continue;
    std::string_view key = trim_line(line.substr(0, equals));
    std::string_view value = trim_line(line.substr(equals + 1));
    if (key == "Path") path = value;
    if (key == "IsRelative") relative = value == "1";
  }
  finish();
  return folders;
}

std::vector<std::string> profiles_ini_candidates() {
  std::vector<std::string> files;
  const std::string config = user_config_dir();
  const std::string home = user_home_dir();
  if (!config.empty()) {
    for (const char* layout : CONFIG_LAYOUTS)
      files.push_back(config + "/" + layout + "/profiles.ini");
  }
  if (!home.empty()) {
    for (const char* layout : HOME_LAYOUTS) files.push_back(home + "/" + layout + "/profiles.ini");
  }
  return files;
}

void apply_firefox_profile(const std::string& folder, bool enable, FirefoxOutcome* outcome) {
  const std::string user_js = folder + "/user.js";
  auto skip = [&](const char* why) {
    outcome->notes.push_back("Firefox profile " + folder + " skipped: " + why + ".");
  };
  if (!is_folder(folder)) return skip("its folder is missing");
  if (is_read_only_file(user_js)) return skip("user.js is read-only");
  // One editor per profile at a time; a second one skips rather than waits.
  int lock_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock_fd < 0) return skip("its folder cannot be opened");
  if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    close(lock_fd);
    return skip("another program is changing it");
  }
  HostFile current = read_host_file(user_js);
  if (current.exists && !current.readable) {
    close(lock_fd);
    return skip("user.js cannot be read");
  }
  const bool running = profile_in_use(folder);
  const std::optional<SavedPrefs> saved_in_block = saved_prefs_in(current.text);
  std::string wanted;
  if (enable) {
    SavedPrefs saved;
    if (saved_in_block) {
      saved = *saved_in_block;
    } else {
      saved = prefs_lines_of(read_host_file(folder + "/prefs.js").text);
    }
    wanted = with_proxy_block(current.text, saved);
  } else if (!saved_in_block) {
    close(lock_fd);
    return;  // never pointed at the proxy: nothing to take away
  } else if (running) {
    // The running Firefox writes its proxied values into prefs.js when it
    // exits; the restore block sets them back at its next start.
    wanted = with_restore_block(current.text, *saved_in_block);
  } else {
    const std::string prefs_js = folder + "/prefs.js";
    HostFile prefs = read_host_file(prefs_js);
    if (prefs.readable) {
      std::string restored = restored_prefs_js(prefs.text, *saved_in_block);
      if (restored != prefs.text && !replace_host_file(prefs_js, restored, 0600)) {
        close(lock_fd);
        return skip("prefs.js cannot be written");
      }
    }
    wanted = without_blocks(current.text);
  }
  if (wanted != current.text) {
    bool written = (wanted.empty() && current.exists && !enable)
                       ? unlink(user_js.c_str()) == 0 || errno == ENOENT
                       : replace_host_file(user_js, wanted, NEW_USER_JS_MODE);
    if (!written) {
      close(lock_fd);
      return skip("user.js cannot be written");
    }
    ++outcome->changed;
    if (running) ++outcome->running;
    outcome->notes.push_back(
        "Firefox profile " + folder +
        (enable ? " pointed at the proxy." : " no longer uses the proxy.") +
        (running ? " Firefox is running: it reads the change at its next start." : ""));
  }
  close(lock_fd);
}

FirefoxOutcome apply_firefox_profiles(bool enable) {
  FirefoxOutcome outcome;
  std::set<std::string> seen;
  bool any_ini = false;
  for (const std::string& ini : profiles_ini_candidates()) {
    HostFile file = read_host_file(ini);
    if (!file.readable) continue;
    any_ini = true;
    const std::string base = ini.substr(0, ini.rfind('/'));
    for (const std::string& folder : profile_folders_in(file.text, base)) {
      char resolved[PATH_MAX];
      std::string key = realpath(folder.c_str(), resolved) != nullptr ? resolved : folder;
      if (!seen.insert(key).second) continue;
      apply_firefox_profile(folder, enable, &outcome);
    }
  }
  if (!any_ini) outcome.notes.push_back("Firefox: no profiles.ini found, no profile changed.");
  return outcome;
}

}  // namespace desktopproxy
