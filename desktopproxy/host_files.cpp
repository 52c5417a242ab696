#include "desktopproxy/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/files.h"

namespace desktopproxy {

HostFile read_host_file(const std::string& path) {
  HostFile file;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    file.exists = errno != ENOENT && errno != ENOTDIR;
    return file;
  }
  file.exists = true;
  char buffer[16384];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      file.text.clear();
      return file;
    }
    if (got == 0) break;
    file.text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  file.readable = true;
  return file;
}

bool replace_host_file(const std::string& path, const std::string& text, mode_t new_mode) {
  mode_t mode = new_mode;
  struct stat old_status;
  if (stat(path.c_str(), &old_status) == 0) mode = old_status.st_mode & 07777;
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string aside = path + ".vellomar-XXXXXX";
  std::vector<char> name(aside.begin(), aside.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  bool ok = platform::write_whole(fd, text.data(), text.size()) && fchmod(fd, mode) == 0 &&
            fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(name.data(), path.c_str()) != 0) {
    unlink(name.data());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {
    fsync(folder_fd);
    close(folder_fd);
  }
  return true;
}

bool is_read_only_file(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && (status.st_mode & 0222) == 0;
}

}  // namespace desktopproxy
