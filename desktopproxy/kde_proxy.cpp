#include "desktopproxy/kde_proxy.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <array>
#include <vector>

#include "desktopproxy/host_files.h"
#include "desktopproxy/saved_state.h"
#include "desktopproxy/user_paths.h"
#include "text/text_helpers.h"

namespace desktopproxy {
namespace {

constexpr std::string_view GROUP = "Proxy Settings";
constexpr char OUR_PROXY[] = "http://127.0.0.1 8000";
constexpr char MANUAL_TYPE[] = "1";
constexpr char SAVED_MARK[] = "KDE Saved";
constexpr std::array<std::string_view, 3> KEYS = {"ProxyType", "httpProxy", "httpsProxy"};
constexpr std::array<const char*, 3> SAVED_NAMES = {"KDE ProxyType", "KDE httpProxy",
                                                    "KDE httpsProxy"};
constexpr mode_t NEW_FILE_MODE = 0600;

struct Line {
  std::size_t start;  // offset of the line in the text
  std::size_t end;    // offset after its line break (or the text's end)
  std::string_view body;
};

std::vector<Line> lines_of(std::string_view text) {
  std::vector<Line> lines;
  for (const TextLine& line : text_lines(text)) {
    const auto start = static_cast<std::size_t>(line.whole.data() - text.data());
    lines.push_back({start, start + line.whole.size(), trim_line(line.body)});
  }
  return lines;
}

// "[Proxy Settings]", and the same with KConfig's flags such as "[$i]".
bool is_group_header(std::string_view body, std::string_view group, bool* locked) {
  if (body.size() < group.size() + 2 || body[0] != '[' || body.substr(1, group.size()) != group ||
      body[group.size() + 1] != ']') {
    return false;
  }
  std::string_view rest = body.substr(group.size() + 2);
  if (!rest.empty() && rest.substr(0, 2) != "[$") return false;  // a nested group
  if (locked != nullptr) *locked = rest.find('i') != std::string_view::npos;
  return true;
}

// The key a line sets ("httpProxy" for "httpProxy[$e] = x"), or "".
std::string_view key_of(std::string_view body) {
  if (body.empty() || body[0] == '#' || body[0] == '[') return {};
  std::size_t equals = body.find('=');
  if (equals == std::string_view::npos) return {};
  std::string_view key = trim_line(body.substr(0, equals));
  std::size_t bracket = key.find('[');
  return bracket == std::string_view::npos ? key : key.substr(0, bracket);
}

// The range of lines of `group`: [first, last) after its header; first is
// lines.size() when the group is missing.
std::pair<std::size_t, std::size_t> group_lines(const std::vector<Line>& lines,
                                                std::string_view group, bool* locked) {
  std::size_t first = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (first == lines.size()) {
      if (is_group_header(lines[i].body, group, locked)) first = i + 1;
    } else if (!lines[i].body.empty() && lines[i].body[0] == '[') {
      return {first, i};
    }
  }
  return {first, lines.size()};
}

// The port of a KDE proxy text ("http://host 8080", "host:8080").
std::optional<UpstreamFound> parse_proxy(std::string_view text) {
  std::size_t scheme = text.find("://");
  if (scheme != std::string_view::npos) text.remove_prefix(scheme + 3);
  std::size_t split = text.find_last_of(" :");
  if (split == std::string_view::npos || split == 0) return std::nullopt;
  std::string_view host = trim_line(text.substr(0, split));
  while (!host.empty() && host.back() == '/') host.remove_suffix(1);
  int port = 0;
  for (char c : trim_line(text.substr(split + 1))) {
    if (c < '0' || c > '9' || port > 65535) return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (host.empty() || port <= 0 || port > 65535) return std::nullopt;
  return UpstreamFound{std::string(host), port};
}

bool locked_group(std::string_view text) {
  bool locked = false;
  group_lines(lines_of(text), GROUP, &locked);
  return locked;
}

void tell_kde_programs() {
  if (!session_bus_available()) return;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return;
  g_dbus_connection_emit_signal(bus, nullptr, "/KIO/Scheduler", "org.kde.KIO.Scheduler",
                                "reparseSlaveConfiguration", g_variant_new("(s)", ""), nullptr);
  g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
}

}  // namespace

std::optional<std::string> kconfig_value(std::string_view text, std::string_view group,
                                         std::string_view key) {
  std::vector<Line> lines = lines_of(text);
  auto [first, last] = group_lines(lines, group, nullptr);
  std::optional<std::string> value;
  for (std::size_t i = first; i < last; ++i) {
    if (key_of(lines[i].body) == key) {
      value = std::string(trim_line(lines[i].body.substr(lines[i].body.find('=') + 1)));
    }
  }
  return value;
}

std::string kconfig_with(std::string_view text, std::string_view group, std::string_view key,
                         const std::optional<std::string>& value) {
  std::vector<Line> lines = lines_of(text);
  auto [first, last] = group_lines(lines, group, nullptr);
  const std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const std::string entry = value ? std::string(key) + "=" + *value : "";
  if (first == lines.size()) {
    if (!value) return std::string(text);
    std::string out(text);
    if (!out.empty() && out.back() != '\n') out += eol;
    if (!out.empty()) out += eol;
    out.append("[").append(group).append("]").append(eol).append(entry).append(eol);
    return out;
  }
  std::string out;
  std::size_t copied = 0;
  bool placed = false;
  std::size_t last_entry = first;  // insert after the group's last non-blank line
  for (std::size_t i = first; i < last; ++i) {
    if (!lines[i].body.empty()) last_entry = i + 1;
    if (key_of(lines[i].body) != key) continue;
    out.append(text.substr(copied, lines[i].start - copied));
    if (value && !placed) out.append(entry).append(eol);
    placed = placed || value.has_value();
    copied = lines[i].end;
  }
  if (!placed && value) {
    std::size_t at = last_entry == 0 ? 0 : lines[last_entry - 1].end;
    out.append(text.substr(copied, at - copied));
    if (at > 0 && text[at - 1] != '\n') out += eol;
    out.append(entry).append(eol);
    copied = at;
  }
  out.append(text.substr(copied));
  return out;
}

std::string kioslaverc_path() {
  std::string config = user_config_dir();
  return config.empty() ? "" : config + "/kioslaverc";
}

void apply_kde_proxy(bool enable, DesktopOutcome* outcome) {
  const std::string path = kioslaverc_path();
  if (path.empty()) {
    outcome->notes.push_back("Desktop proxy (KDE): no home folder, skipped.");
    return;
  }
  HostFile file = read_host_file(path);
  if (file.exists && !file.readable) {
    outcome->notes.push_back("Desktop proxy (KDE): " + path + " cannot be read, skipped.");
    return;
  }
  if (is_read_only_file(path) || locked_group(file.text)) {
    outcome->notes.push_back("Desktop proxy (KDE): " + path + " is locked, skipped.");
    return;
  }
  std::array<std::optional<std::string>, 3> current;
  for (std::size_t i = 0; i < KEYS.size(); ++i)
    current[i] = kconfig_value(file.text, GROUP, KEYS[i]);
  const bool is_ours =
      current[0] == MANUAL_TYPE && current[1] == OUR_PROXY && current[2] == OUR_PROXY;
  std::string text = file.text;
  if (enable) {
    if (is_ours) return;
    for (std::size_t i = 0; i < KEYS.size(); ++i) {
      if (current[i]) {
        write_saved(SAVED_NAMES[i], *current[i]);
      } else {
        delete_saved(SAVED_NAMES[i]);
      }
    }
    if (!write_saved(SAVED_MARK, "1")) {
      outcome->notes.push_back(
          "Desktop proxy (KDE): the earlier setting could not be saved, "
          "left alone.");
      return;
    }
    if (current[0] == MANUAL_TYPE) {
      outcome->upstream = parse_proxy(current[1].value_or(""));
      if (!outcome->upstream) outcome->upstream = parse_proxy(current[2].value_or(""));
    }
    text = kconfig_with(text, GROUP, KEYS[1], std::string(OUR_PROXY));
    text = kconfig_with(text, GROUP, KEYS[2], std::string(OUR_PROXY));
    text = kconfig_with(text, GROUP, KEYS[0], std::string(MANUAL_TYPE));
  } else {
    if (!read_saved(SAVED_MARK)) return;  // never switched on here
    if (is_ours) {
      for (std::size_t i = 0; i < KEYS.size(); ++i) {
        text = kconfig_with(text, GROUP, KEYS[i], read_saved(SAVED_NAMES[i]));
      }
    } else {
      outcome->notes.push_back(
          "Desktop proxy (KDE) was changed since Vellomar set it; left as "
          "it is.");
    }
  }
  if (text != file.text && !replace_host_file(path, text, NEW_FILE_MODE)) {
    outcome->notes.push_back("Desktop proxy (KDE): " + path + " cannot be written, skipped.");
    return;
  }
  if (!enable) {
    delete_saved(SAVED_MARK);
    for (const char* name : SAVED_NAMES) delete_saved(name);
  }
  if (text != file.text) {
    tell_kde_programs();
    outcome->notes.push_back(enable ? "Desktop proxy (KDE) set to 127.0.0.1:8000."
                                    : "Desktop proxy (KDE) set back to its earlier setting.");
  }
}

}  // namespace desktopproxy
