// Desktop entry files written into the user's XDG folders.
#include "platform/desktop_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/files.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr char GENERATED_MARK[] = "X-Vellomar-Generated=true";
// Keys by which desktops record that the user switched an autostart entry
// off; a rewritten entry keeps them.
constexpr std::string_view USER_KEYS[] = {"Hidden=", "X-GNOME-Autostart-enabled="};

std::string xdg_dir(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  // XDG base-directory rules ignore relative paths in these variables.
  if (value != nullptr && value[0] == '/') return value;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/" + fallback;
}

std::string config_home() {
  return xdg_dir("XDG_CONFIG_HOME", ".config");
}
std::string data_home() {
  return xdg_dir("XDG_DATA_HOME", ".local/share");
}

std::optional<std::string> read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool is_ours(const std::string& contents) {
  std::istringstream lines(contents);
  for (std::string line; std::getline(lines, line);) {
    if (line == GENERATED_MARK || line == std::string("<!-- ") + GENERATED_MARK + " -->") {
      return true;
    }
  }
  return false;
}

// The file at `path` may be (re)written or removed by Vellomar: it is
// missing or carries the mark.
bool may_touch(const std::string& path, std::optional<std::string>* existing) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  if (!S_ISREG(info.st_mode)) return false;
  *existing = read_whole(path);
  return *existing && is_ours(**existing);
}

// Writes `contents` to `path` aside and renames it into place.
int write_aside(const std::string& path, const std::string& contents) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  std::string temporary = path + ".vellomar-new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  const bool written = write_whole(fd, contents.data(), contents.size()) && fsync(fd) == 0;
  if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return -1;
  }
  return 0;
}

int remove_ours(const std::string& path) {
  std::optional<std::string> existing;
  if (!may_touch(path, &existing)) return -1;
  if (!existing) return 0;
  return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1;
}

// One argument of an Exec line: quoted when it holds a reserved character,
// with the four characters that stay special inside quotes escaped.
std::string exec_argument(std::string_view argument) {
  const std::string_view reserved = " \t\"'\\><~|&;$*?#()`";
  std::string out;
  if (argument.find_first_of(reserved) == std::string_view::npos && !argument.empty()) {
    out = argument;
  } else {
    out = "\"";
    for (char c : argument) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  // "%" starts a field code; the string rules of the file then double every
  // backslash.
  std::string escaped;
  for (char c : out) {
    if (c == '%') escaped += '%';
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// The program and the arguments of a command line of the original desktop:
// a quoted program name ends at its closing quote; an unquoted one is the
// whole text, as a path with blanks ("C:\Program Files\...") usually is.
std::vector<std::string> split_command(std::string_view command) {
  std::vector<std::string> parts;
  if (!command.empty() && command.front() == '"') {
    const std::size_t end = command.find('"', 1);
    parts.emplace_back(command.substr(1, end == std::string_view::npos ? end : end - 1));
    std::string_view rest =
        end == std::string_view::npos ? std::string_view() : command.substr(end + 1);
    std::istringstream words{std::string(rest)};
    for (std::string word; words >> word;) parts.push_back(word);
  } else {
    parts.emplace_back(command);
  }
  return parts;
}

std::string user_keys_of(const std::optional<std::string>& existing) {
  std::string kept;
  if (!existing) return kept;
  std::istringstream lines(*existing);
  for (std::string line; std::getline(lines, line);) {
    for (std::string_view key : USER_KEYS) {
      if (line.rfind(key, 0) == 0) kept += line + "\n";
    }
  }
  return kept;
}

}  // namespace

std::optional<std::string> entry_file_name(std::string_view name) {
  if (name.empty() || name.front() == '.') return std::nullopt;
  std::string file;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (!std::isalnum(byte) && c != '.' && c != '-' && c != '_') return std::nullopt;
    file += static_cast<char>(std::tolower(byte));
  }
  return file + ".desktop";
}

std::string autostart_entry_path(std::string_view name) {
  auto file = entry_file_name(name);
  return file ? config_home() + "/autostart/" + *file : std::string();
}

std::string menu_entry_path(std::string_view name) {
  auto file = entry_file_name(name);
  return file ? data_home() + "/applications/" + *file : std::string();
}

std::string menu_icon_path(std::string_view name) {
  auto file = entry_file_name(name);
  if (!file) return {};
  return data_home() + "/icons/hicolor/scalable/apps/" +
         file->substr(0, file->size() - std::string_view(".desktop").size()) + ".svg";
}

std::string exec_line(std::string_view command) {
  if (command.find_first_of("\r\n") != std::string_view::npos) return {};
  std::vector<std::string> parts = split_command(command);
  if (parts.empty() || parts.front().empty()) return {};
  std::error_code error;
  const std::string prefix = fs::absolute(prefix_dir(), error).string();
  if (error) return {};
  std::string line = "env " + exec_argument("VELLOMAR_PREFIX=" + prefix) + " " +
                     exec_argument(host_path(parts.front()));
  for (std::size_t i = 1; i < parts.size(); ++i) line += " " + exec_argument(parts[i]);
  return line;
}

namespace {
// The keys both kinds of entry begin with, in this order.
std::string common_keys(std::string_view name, std::string_view comment, std::string_view exec,
                        std::string_view icon) {
  std::string keys = "[Desktop Entry]\nType=Application\n";
  for (const auto& [key, value] :
       {std::pair{"Name=", name}, {"Comment=", comment}, {"Exec=", exec}, {"Icon=", icon}}) {
    keys.append(key).append(value).append("\n");
  }
  return keys + "Terminal=false\n";
}
}  // namespace

int write_autostart_entry(std::string_view name, std::string_view command) {
  const std::string path = autostart_entry_path(name);
  const std::string exec = exec_line(command);
  if (path.empty() || exec.empty()) return -1;
  std::optional<std::string> existing;
  if (!may_touch(path, &existing)) return -1;
  const std::string contents =
      common_keys(name, "Starts at log-in, as the start-up entry asks", exec, "vellomar") +
      "NoDisplay=true\n" + user_keys_of(existing) + GENERATED_MARK + "\n";
  if (existing && *existing == contents) return 0;
  return write_aside(path, contents);
}

int remove_autostart_entry(std::string_view name) {
  const std::string path = autostart_entry_path(name);
  return path.empty() ? -1 : remove_ours(path);
}

int install_menu_entry(std::string_view name, std::string_view command, std::string_view comment,
                       std::string_view icon_svg) {
  const std::string path = menu_entry_path(name);
  const std::string icon = menu_icon_path(name);
  const std::string exec = exec_line(command);
  if (path.empty() || exec.empty() || comment.find_first_of("\r\n") != std::string_view::npos) {
    return -1;
  }
  std::optional<std::string> existing;
  if (!may_touch(path, &existing)) return -1;
  // The icon is Vellomar's own file beside the user's others; an SVG there of
  // the same name that is not Vellomar's is left alone.
  std::optional<std::string> existing_icon;
  if (may_touch(icon, &existing_icon)) {
    std::string marked(icon_svg);
    marked += "<!-- " + std::string(GENERATED_MARK) + " -->\n";
    if (write_aside(icon, marked) != 0) return -1;
  }
  const std::string icon_name = fs::path(icon).stem().string();
  const std::string contents =
      common_keys(name, comment, exec, icon_name) + "Categories=Network;\n" + GENERATED_MARK + "\n";
  return write_aside(path, contents);
}

int remove_menu_entry(std::string_view name) {
  const std::string path = menu_entry_path(name);
  const std::string icon = menu_icon_path(name);
  if (path.empty()) return -1;
  const int entry = remove_ours(path);
  const int picture = remove_ours(icon);
  return entry == 0 && picture == 0 ? 0 : -1;
}

}  // namespace platform
