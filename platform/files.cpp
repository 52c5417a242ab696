// Names of the original desktop mapped onto the machine's folder, and the C
// library's text-mode files over glibc's custom streams.
//
// A name is taken apart into a host folder to start from and a list of parts;
// "." and ".." are folded lexically, and then each part is looked up in the
// folder built so far: the exact name when it exists, otherwise the first
// entry (in byte order) that equals it without regard to ASCII letter case,
// otherwise the name as given (which is how a new file keeps its case).
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace {

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// The process's current directory as the host sees it ("" when unknown).
std::string host_cwd() {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) != nullptr) return buffer;
  std::vector<char> large(65536);
  if (getcwd(large.data(), large.size()) != nullptr) return large.data();
  return std::string();
}

// The machine's folder as an absolute host path.
std::string absolute_prefix() {
  std::string prefix = platform::prefix_dir();
  if (prefix.empty() || prefix[0] != '/') prefix = host_cwd() + "/" + prefix;
  return prefix;
}

// When `host` lies on one of the machine's drives, stores the drive's letter
// and the rest of the path (without its leading "/") and returns true.
bool split_drive(const std::string& prefix, const std::string& host, char* drive,
                 std::string* rest) {
  const std::string base = prefix + "/drive_";
  if (host.size() < base.size() + 1 || host.compare(0, base.size(), base) != 0) return false;
  const char letter = host[base.size()];
  if (letter < 'a' || letter > 'z') return false;
  const std::size_t after = base.size() + 1;
  if (after < host.size() && host[after] != '/') return false;
  *drive = letter;
  *rest = after < host.size() ? host.substr(after + 1) : std::string();
  return true;
}

// Splits `text` at either separator into `parts`, folding "." and "..";
// ".." at the top stays at the top, as it does at a drive's root.
void append_parts(std::string_view text, std::vector<std::string>* parts) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = start;
    while (end < text.size() && !is_separator(text[end])) ++end;
    const std::string_view part = text.substr(start, end - start);
    if (part.empty() || part == ".") {
      // nothing
    } else if (part == "..") {
      if (!parts->empty()) parts->pop_back();
    } else {
      parts->emplace_back(part);
    }
    start = end + 1;
  }
}

// Appends each part to `path`, reusing the case of an entry that exists.
void resolve_parts(std::string* path, const std::vector<std::string>& parts) {
  bool present = true;  // once a part is missing, nothing below it exists
  for (const std::string& part : parts) {
    const std::size_t folder_length = path->size();
    if (path->empty() || path->back() != '/') path->push_back('/');
    const std::size_t name_at = path->size();
    path->append(part);
    if (!present || exists(*path)) continue;
    std::string folder = path->substr(0, folder_length);
    if (folder.empty()) folder.assign(1, '/');
    std::string match;
    if (DIR* dir = opendir(folder.c_str())) {
      while (dirent* entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, part.c_str()) == 0 &&
            (match.empty() || std::strcmp(entry->d_name, match.c_str()) < 0)) {
          match = entry->d_name;
        }
      }
      closedir(dir);
    }
    if (match.empty()) {
      present = false;
    } else {
      path->replace(name_at, std::string::npos, match);
    }
  }
}

// A name written with "/" first is a host path when it reaches into the
// machine's folder or its first part exists at the host's root ("/tmp/x",
// "/home/…"); otherwise it is a name on the current drive, like "\x".
bool is_host_absolute(std::string_view name, const std::string& prefix) {
  if (name.empty() || name[0] != '/') return false;
  if (name.size() >= prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
      (name.size() == prefix.size() || name[prefix.size()] == '/')) {
    return true;
  }
  std::size_t end = 1;
  while (end < name.size() && !is_separator(name[end])) ++end;
  if (end == 1) return false;
  std::string folder(1, '/');
  folder.append(name.substr(1, end - 1));
  return exists(folder);
}

}  // namespace

namespace platform {

std::string prefix_dir() {
  std::string dir;
  if (const char* prefix = std::getenv("VELLOMAR_PREFIX"); prefix != nullptr && prefix[0] != '\0') {
    dir = prefix;
  } else if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] != '\0') {
    dir = std::string(data) + "/vellomar";
  } else {
    const char* home = std::getenv("HOME");
    dir = std::string(home != nullptr ? home : "") + "/.local/share/vellomar";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string host_path(std::string_view name) {
  const std::string prefix = absolute_prefix();
  std::string base;                // host folder the parts are taken against
  std::vector<std::string> parts;  // below `base`

  if (is_host_absolute(name, prefix)) {
    base.assign(1, '/');
    append_parts(name, &parts);
    std::string path = base;
    resolve_parts(&path, parts);
    return path;
  }

  const std::string cwd = host_cwd();
  char cwd_drive = 0;
  std::string cwd_rest;
  const bool cwd_on_drive = split_drive(prefix, cwd, &cwd_drive, &cwd_rest);

  const bool has_drive = name.size() >= 2 && name[1] == ':' &&
                         ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'));
  if (has_drive) {
    const char drive = static_cast<char>(name[0] | 0x20);
    std::string_view rest = name.substr(2);
    base = prefix + "/drive_" + drive;
    // "D:name" is relative to the current folder when that is on drive D.
    if ((rest.empty() || !is_separator(rest[0])) && cwd_on_drive && cwd_drive == drive) {
      append_parts(cwd_rest, &parts);
    }
    append_parts(rest, &parts);
  } else if (!name.empty() && is_separator(name[0])) {
    base = prefix + "/drive_" + (cwd_on_drive ? cwd_drive : 'c');
    append_parts(name, &parts);
  } else if (cwd_on_drive) {
    base = prefix + "/drive_" + cwd_drive;
    append_parts(cwd_rest, &parts);
    append_parts(name, &parts);
  } else {
    // Outside the machine's folder a relative name is a host name.
    base.assign(1, '/');
    append_parts(cwd, &parts);
    append_parts(name, &parts);
  }
  std::string path = base;
  resolve_parts(&path, parts);
  return path;
}

std::string current_directory() {
  const std::string cwd = host_cwd();
  char drive = 0;
  std::string rest;
  if (!split_drive(absolute_prefix(), cwd, &drive, &rest)) return cwd;
  std::string name;
  name.push_back(static_cast<char>(drive - 'a' + 'A'));
  name += ":\\";
  for (char c : rest) name.push_back(c == '/' ? '\\' : c);
  return name;
}

bool write_whole(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform

namespace {

// One text-mode stream: the descriptor and, for reading, the raw bytes read
// ahead so that a CR at the end of one read can be paired with an LF at the
// start of the next.
struct TextFile {
  int fd = -1;
  std::size_t pos = 0;
  std::size_t length = 0;
  bool failed = false;
  char* raw = nullptr;  // allocated on the first read
};

constexpr std::size_t TEXT_READ_AHEAD = 8192;
constexpr std::size_t TEXT_WRITE_STACK = 8192;

// Reads the next raw bytes; false at the end of the file or on an error.
bool refill(TextFile* file) {
  file->pos = 0;
  file->length = 0;
  for (;;) {
    const ssize_t n = read(file->fd, file->raw, TEXT_READ_AHEAD);
    if (n > 0) {
      file->length = static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) return false;
    if (errno != EINTR) {
      file->failed = true;
      return false;
    }
  }
}

ssize_t text_read(void* cookie, char* buffer, std::size_t size) {
  auto* file = static_cast<TextFile*>(cookie);
  if (file->raw == nullptr) {
    file->raw = static_cast<char*>(std::malloc(TEXT_READ_AHEAD));
    if (file->raw == nullptr) {
      errno = ENOMEM;
      return -1;
    }
  }
  file->failed = false;
  std::size_t out = 0;
  while (out < size) {
    if (file->pos == file->length && !refill(file)) break;
    char c = file->raw[file->pos++];
    if (c == '\r') {
      if (file->pos == file->length && !refill(file)) {
        // A CR at the very end of the file is kept. After an error the CR
        // is delivered too, so nothing read is lost.
        buffer[out++] = c;
        break;
      }
      if (file->raw[file->pos] == '\n') {
        ++file->pos;
        c = '\n';
      }
    }
    buffer[out++] = c;
  }
  if (out == 0 && file->failed) return -1;
  return static_cast<ssize_t>(out);
}

// Turns each LF of data into CR LF in `out` (which holds size plus the
// number of LFs).
std::size_t expand_line_ends(const char* data, std::size_t size, char* out) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') out[length++] = '\r';
    out[length++] = data[i];
  }
  return length;
}

std::size_t count_line_feeds(const char* data, std::size_t size) {
  std::size_t count = 0;
  if (size == 0) return 0;
  const char* end = data + size;
  for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '\n', end - p))); ++p) {
    ++count;
  }
  return count;
}

ssize_t text_write(void* cookie, const char* data, std::size_t size) {
  auto* file = static_cast<TextFile*>(cookie);
  // The whole piece goes out in one write, so that an entry appended by one
  // process is not split by another's.
  const std::size_t expanded = size + count_line_feeds(data, size);
  char stack[TEXT_WRITE_STACK];
  char* out = stack;
  std::vector<char> heap;
  if (expanded > sizeof stack) {
    heap.resize(expanded);
    out = heap.data();
  }
  const std::size_t length = expand_line_ends(data, size, out);
  if (!platform::write_whole(file->fd, out, length)) return -1;
  return static_cast<ssize_t>(size);
}

int text_seek(void* cookie, off64_t* offset, int whence) {
  auto* file = static_cast<TextFile*>(cookie);
  // Positions are byte positions in the file. Bytes read ahead and not yet
  // delivered are given back first.
  off64_t target = *offset;
  if (whence == SEEK_CUR) {
    target -= static_cast<off64_t>(file->length - file->pos);
  }
  const off64_t result = lseek64(file->fd, target, whence);
  if (result < 0) return -1;
  file->pos = file->length = 0;
  *offset = result;
  return 0;
}

int text_close(void* cookie) {
  auto* file = static_cast<TextFile*>(cookie);
  const int result = close(file->fd);
  std::free(file->raw);
  delete file;
  return result;
}

}  // namespace

FILE* open_file(const char* name, const char* mode) {
  if (name == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  char kind = mode[0];
  bool update = false;
  bool binary = false;
  for (const char* p = mode + 1; *p != '\0'; ++p) {
    if (*p == '+') update = true;
    if (*p == 'b') binary = true;
  }
  if (kind != 'r' && kind != 'w' && kind != 'a') {
    errno = EINVAL;
    return nullptr;
  }
  const std::string path = platform::host_path(name);
  char stdio_mode[4] = {kind, 0, 0, 0};
  if (update) stdio_mode[1] = '+';
  if (binary) {
    // The descriptor is not inherited by programs started meanwhile.
    stdio_mode[update ? 2 : 1] = 'e';
    return std::fopen(path.c_str(), stdio_mode);
  }

  int flags = update ? O_RDWR : (kind == 'r' ? O_RDONLY : O_WRONLY);
  if (kind == 'w') flags |= O_CREAT | O_TRUNC;
  if (kind == 'a') flags |= O_CREAT | O_APPEND;
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  auto* file = new (std::nothrow) TextFile;
  if (file == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  file->fd = fd;
  FILE* stream = fopencookie(file, stdio_mode,
                             cookie_io_functions_t{text_read, text_write, text_seek, text_close});
  if (stream == nullptr) {
    const int saved = errno;
    text_close(file);
    errno = saved;
  }
  return stream;
}

namespace {

// Whether process `pid` may still exist. A process of another user (EPERM)
// counts as alive; so does one whose pid a new process has taken since.
bool process_alive(pid_t pid) {
  return kill(pid, 0) == 0 || errno != ESRCH;
}

// The writer's pid in `entry` when it is a temporary of replace_file() for
// the file named `base` ("<base>.new<pid>.<n>", base without regard to
// letter case, as names are found); 0 otherwise.
pid_t temporary_writer(const char* entry, const std::string& base) {
  constexpr std::string_view kMark = ".new";
  if (strncasecmp(entry, base.c_str(), base.size()) != 0) return 0;
  std::string_view rest(entry + base.size());
  if (rest.substr(0, kMark.size()) != kMark) return 0;
  rest.remove_prefix(kMark.size());
  const std::size_t dot = rest.find('.');
  const std::string_view pid_text = rest.substr(0, dot);
  const std::string_view counter = dot == std::string_view::npos ? "" : rest.substr(dot + 1);
  auto all_digits = [](std::string_view text) {
    return !text.empty() && text.size() <= 10 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!all_digits(pid_text) || !all_digits(counter)) return 0;
  long long pid = 0;
  std::from_chars(pid_text.data(), pid_text.data() + pid_text.size(), pid);
  return pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? static_cast<pid_t>(pid) : 0;
}

// Removes the temporaries that writers of `path` left behind when they were
// killed between creating and renaming them. A live writer's stays. Should
// a dead writer's pid be taken by a new writer of the same file between the
// check and the removal, that writer's replace fails and leaves the old file.
void remove_stale_temporaries(const std::string& folder, const std::string& path) {
  const std::string base = path.substr(path.rfind('/') + 1);
  if (base.empty()) return;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const pid_t writer = temporary_writer(entry->d_name, base);
    if (writer == 0 || process_alive(writer)) continue;
    struct stat info;
    if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode)) {
      unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  closedir(dir);
}

}  // namespace

bool read_whole_file(const char* name, std::string* bytes) {
  bytes->clear();
  if (name == nullptr) return false;
  const int fd = open(platform::host_path(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  // The size is a hint: a file that grows meanwhile is read on to its end.
  std::size_t size = ok ? static_cast<std::size_t>(info.st_size) : 0;
  try {
    bytes->resize(size + 1);
    std::size_t have = 0;
    while (ok) {
      if (have == bytes->size()) bytes->resize(bytes->size() * 2);
      const ssize_t got = read(fd, bytes->data() + have, bytes->size() - have);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ok = got == 0;
        break;
      }
      have += static_cast<std::size_t>(got);
    }
    bytes->resize(ok ? have : 0);
  } catch (...) {
    close(fd);
    bytes->clear();
    throw;
  }
  close(fd);
  return ok;
}

int replace_file(const char* name, const char* data, std::size_t size, bool text_mode) {
  if (name == nullptr || (data == nullptr && size > 0)) return -1;
  const std::string path = platform::host_path(name);
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  // A new name beside the file; created with the usual permissions (the
  // umask applies), then given the old file's when there is one.
  static std::atomic<unsigned> counter{0};
  // First, so that they never keep a new file from fitting on the disk.
  remove_stale_temporaries(folder, path);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path + ".new" + std::to_string(getpid()) + "." + std::to_string(counter++);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return -1;
  }
  if (fd < 0) return -1;

  bool ok = true;
  if (struct stat info; stat(path.c_str(), &info) == 0) ok = fchmod(fd, info.st_mode & 07777) == 0;
  if (ok && text_mode) {
    std::vector<char> expanded(size + count_line_feeds(data, size));
    const std::size_t length = expand_line_ends(data, size, expanded.data());
    ok = platform::write_whole(fd, expanded.data(), length);
  } else if (ok) {
    ok = platform::write_whole(fd, data, size);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    unlink(temp.c_str());
    errno = saved;
    return -1;
  }
  // Makes the rename itself last across a crash; the data already does.
  if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return 0;
}

std::string platform::program_folder() {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return "";
  path.resize(static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  path.resize(slash == 0 ? 1 : slash);
  return path;
}

bool platform::enter_folder_holding(const std::string& folder, const char* entry) {
  if (folder.empty() || entry == nullptr) return false;
  const std::string path = folder + "/" + entry;
  if (access(path.c_str(), F_OK) != 0) return false;
  return chdir(folder.c_str()) == 0;
}

int change_directory(const char* name) {
  if (name == nullptr) return -1;
  return chdir(platform::host_path(name).c_str()) == 0 ? 0 : -1;
}

int make_directory(const char* name) {
  if (name == nullptr) return -1;
  const std::string host = platform::host_path(name);
  // Every machine has its C: drive, a machine folder made anew too: a folder
  // made on C: of a machine that has never been used makes the drive first
  // (so that setup can install into a fresh machine folder).
  const std::string drive = platform::prefix_dir() + "/drive_c";
  if (host.size() > drive.size() && host.compare(0, drive.size() + 1, drive + "/") == 0 &&
      access(drive.c_str(), F_OK) != 0) {
    for (std::size_t slash = drive.find('/', 1); slash != std::string::npos;
         slash = drive.find('/', slash + 1)) {
      mkdir(drive.substr(0, slash).c_str(), 0755);
    }
    mkdir(drive.c_str(), 0755);
  }
  return mkdir(host.c_str(), 0777) == 0 ? 0 : -1;
}

std::vector<std::string> list_files(const char* folder) {
  std::vector<std::string> names;
  if (folder == nullptr) return names;
  const std::string path = platform::host_path(folder);
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  try {
    while (const dirent* entry = readdir(dir)) {
      struct stat info;
      const std::string full = path + "/" + entry->d_name;
      if (stat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        names.emplace_back(entry->d_name);
    }
  } catch (...) {
    closedir(dir);
    return {};
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
