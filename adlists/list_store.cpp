// List files: their header, and adding, replacing and removing them whole.
#include "adlists/list_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "filter/imported_list.h"
#include "platform/files.h"

namespace adlists {
namespace {

constexpr char REPORT_SUFFIX[] = ".report";
constexpr char HEADER_MARK[] = "# Vellomar list: ";

std::string file_of(const std::string& name, const char* suffix) {
  return std::string(IMPORTED_LISTS_DIR) + "/" + name + suffix;
}

std::string utc_text(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buffer;
}

// A header value may not carry a line end into the file.
std::string one_line(std::string value) {
  for (char& c : value) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return value;
}

long long number_of(const std::string& text) {
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    if (value < 1000000000000LL) value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

bool valid_list_name(const std::string& name) {
  if (name.empty() || name.size() > MAX_LIST_NAME) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string name_from_source(const std::string& source) {
  std::string base = source;
  std::size_t query = base.find_first_of("?#");
  if (query != std::string::npos) base.erase(query);
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::size_t slash = base.find_last_of("/\\");
  if (slash != std::string::npos) base.erase(0, slash + 1);
  std::size_t dot = base.find('.');
  if (dot != std::string::npos && dot > 0) base.erase(dot);
  std::string name;
  for (char c : base) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') name += c;
  }
  if (name.size() > MAX_LIST_NAME) name.resize(MAX_LIST_NAME);
  return name;
}

std::string list_file_text(const ListInfo& info, const ConvertedList& converted) {
  const ConversionReport& r = converted.report;
  std::string text;
  text += HEADER_MARK + info.name + "\n";
  if (!converted.title.empty()) text += "# Title: " + one_line(converted.title) + "\n";
  text += "# Source: " + one_line(info.source) + "\n";
  text += "# Converted: " + std::to_string(static_cast<long long>(info.converted_at)) + " (" +
          utc_text(info.converted_at) + ")\n";
  text += "# Expires: " + std::to_string(converted.expires_seconds) + " seconds\n";
  if (!info.etag.empty()) text += "# ETag: " + one_line(info.etag) + "\n";
  if (!info.last_modified.empty())
    text += "# Last-Modified: " + one_line(info.last_modified) + "\n";
  text += "# Rules: " + std::to_string(r.exact) + " converted, " + std::to_string(r.approximated) +
          " approximated, " + std::to_string(r.skipped) + " skipped; " +
          std::to_string(converted.definition_lines) + " lines\n";
  text += "# Lines starting #@ are the list's exceptions, #3 its rules for third-party\n";
  text += "# requests only; this file is replaced by \"vmlists update\".\n";
  text += converted.definitions;
  return text;
}

std::optional<ListInfo> read_list_info(const std::string& name) {
  if (!valid_list_name(name)) return std::nullopt;
  FILE* file = open_file(file_of(name, IMPORTED_LIST_SUFFIX).c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  ListInfo info;
  info.name = name;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr && line[0] == '#') {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::size_t colon = text.find(": ");
    if (colon == std::string::npos) continue;
    std::string key = text.substr(2, colon - 2);
    std::string value = text.substr(colon + 2);
    if (key == "Source") {
      info.source = value;
    } else if (key == "Title") {
      info.title = value;
    } else if (key == "Converted") {
      info.converted_at = static_cast<std::time_t>(number_of(value));
    } else if (key == "Expires") {
      info.expires_seconds = static_cast<long>(number_of(value));
    } else if (key == "ETag") {
      info.etag = value;
    } else if (key == "Last-Modified") {
      info.last_modified = value;
    } else if (key == "Rules") {
      unsigned long long e = 0, a = 0, s = 0, l = 0;
      if (std::sscanf(value.c_str(), "%llu converted, %llu approximated, %llu skipped; %llu", &e,
                      &a, &s, &l) == 4) {
        info.exact = e;
        info.approximated = a;
        info.skipped = s;
        info.lines = l;
      }
    }
  }
  std::fclose(file);
  return info;
}

std::vector<ListInfo> installed_lists() {
  std::vector<ListInfo> lists;
  const std::string suffix = IMPORTED_LIST_SUFFIX;
  for (const std::string& file : list_files(IMPORTED_LISTS_DIR)) {
    if (file.size() <= suffix.size() ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    if (auto info = read_list_info(file.substr(0, file.size() - suffix.size()))) {
      lists.push_back(std::move(*info));
    }
  }
  return lists;
}

bool store_list(ListInfo& info, const ConvertedList& converted, std::string* error) {
  if (!valid_list_name(info.name)) {
    *error = "\"" + info.name + "\" is not a list name (use a-z, 0-9, - and _)";
    return false;
  }
  info.exact = converted.report.exact;
  info.approximated = converted.report.approximated;
  info.skipped = converted.report.skipped;
  info.lines = converted.definition_lines;
  info.title = converted.title;
  info.expires_seconds = converted.expires_seconds;
  if (make_directory(IMPORTED_LISTS_DIR) != 0 && errno != EEXIST) {
    *error =
        std::string("cannot create the folder ") + IMPORTED_LISTS_DIR + ": " + std::strerror(errno);
    return false;
  }
  std::string report = format_report(converted.report);
  std::string list = list_file_text(info, converted);
  if (replace_file(file_of(info.name, REPORT_SUFFIX).c_str(), report.data(), report.size(),
                   false) != 0 ||
      replace_file(file_of(info.name, IMPORTED_LIST_SUFFIX).c_str(), list.data(), list.size(),
                   false) != 0) {
    *error = std::string("cannot write the list: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool touch_list(const std::string& name, std::time_t now) {
  std::string text;
  if (!valid_list_name(name) ||
      !read_whole_file(file_of(name, IMPORTED_LIST_SUFFIX).c_str(), &text)) {
    return false;
  }
  const std::string key = "\n# Converted: ";
  std::size_t at = text.find(key);
  if (at == std::string::npos) return false;
  std::size_t end = text.find('\n', at + 1);
  if (end == std::string::npos) return false;
  text.replace(at + key.size(), end - at - key.size(),
               std::to_string(static_cast<long long>(now)) + " (" + utc_text(now) + ")");
  return replace_file(file_of(name, IMPORTED_LIST_SUFFIX).c_str(), text.data(), text.size(),
                      false) == 0;
}

bool remove_list(const std::string& name, std::string* error) {
  if (!read_list_info(name)) {
    *error = "there is no list named \"" + name + "\"";
    return false;
  }
  std::string list = platform::host_path(file_of(name, IMPORTED_LIST_SUFFIX));
  if (std::remove(list.c_str()) != 0) {
    *error = std::string("cannot remove the list: ") + std::strerror(errno);
    return false;
  }
  std::remove(platform::host_path(file_of(name, REPORT_SUFFIX)).c_str());
  return true;
}

std::optional<std::string> read_report(const std::string& name) {
  if (!valid_list_name(name)) return std::nullopt;
  std::string text;
  if (!read_whole_file(file_of(name, REPORT_SUFFIX).c_str(), &text)) return std::nullopt;
  return text;
}

bool list_expired(const ListInfo& info, std::time_t now) {
  long lifetime = info.expires_seconds > 0 ? info.expires_seconds : DEFAULT_EXPIRES_SECONDS;
  return now - info.converted_at >= lifetime;
}

}  // namespace adlists
