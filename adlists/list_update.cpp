// One list from its source to its installed file.
#include "adlists/list_update.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/winsock.h"
#include "settings/activity_log.h"

namespace adlists {
namespace {

constexpr int RELOAD_TIMEOUT_SECONDS = 10;
constexpr int PROXY_PORT = 8000;

bool read_source_file(const std::string& path, std::size_t limit, std::string* text,
                      std::string* error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (text->size() + got > limit) {
      std::fclose(file);
      *error = path + ": the list is larger than the limit of " + std::to_string(limit) + " bytes";
      return false;
    }
    text->append(buffer, got);
  }
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) *error = path + ": cannot be read";
  return ok;
}

std::string absolute_source(const std::string& source) {
  if (is_web_address(source) || source.empty() || source[0] == '/') return source;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return source;
  return std::string(cwd) + "/" + source;
}

// Fetches and converts; nothing when the source is unchanged or on failure
// (then `change` says which).
std::optional<ConvertedList> fetch_and_convert(const std::string& source, const ListInfo* held,
                                               const SourceOptions& options, ListInfo* info,
                                               ListChange* change) {
  std::string text;
  std::string error;
  if (!options.local_copy.empty()) {
    if (!read_source_file(options.local_copy, MAX_LIST_BYTES, &text, &error)) {
      change->message = error;
      return std::nullopt;
    }
  } else if (is_web_address(source)) {
    FetchRequest request;
    request.url = source;
    if (held != nullptr) {
      request.etag = held->etag;
      request.last_modified = held->last_modified;
    }
    request.timeout_seconds = options.timeout_seconds;
    request.ca_file = options.ca_file;
    request.proxy = upstream_proxy_for_fetch();
    FetchResult got = fetch_list(request);
    if (got.status == FetchResult::NOT_MODIFIED) {
      change->ok = true;
      change->message = "unchanged since the last download";
      return std::nullopt;
    }
    if (got.status == FetchResult::FAILED) {
      change->message = got.error;
      return std::nullopt;
    }
    text = std::move(got.body);
    info->etag = got.etag;
    info->last_modified = got.last_modified;
  } else if (!read_source_file(source, MAX_LIST_BYTES, &text, &error)) {
    change->message = error;
    return std::nullopt;
  }
  std::optional<ConvertedList> converted = convert_list(text, &error);
  if (!converted) change->message = error;
  return converted;
}

std::string counts_of(const ListInfo& info) {
  return std::to_string(info.exact) + " rules converted, " + std::to_string(info.approximated) +
         " approximated, " + std::to_string(info.skipped) + " skipped";
}

}  // namespace

ListChange add_list(const std::string& source, std::string name, const SourceOptions& options,
                    std::time_t now) {
  ListChange change;
  if (name.empty()) name = name_from_source(source);
  if (!valid_list_name(name)) {
    change.message = "no list name could be made from " + source + "; give one";
    return change;
  }
  ListInfo info;
  info.name = name;
  info.source = absolute_source(source);
  info.converted_at = now;
  struct stat copy_info {};
  if (!options.local_copy.empty() && stat(options.local_copy.c_str(), &copy_info) == 0 &&
      copy_info.st_mtime < now) {
    info.converted_at = copy_info.st_mtime;
  }
  std::optional<ConvertedList> converted =
      fetch_and_convert(info.source, nullptr, options, &info, &change);
  if (!converted) {
    change.ok = false;
    change.message = source + ": " + change.message;
    return change;
  }
  std::string error;
  if (!store_list(info, *converted, &error)) {
    change.message = error;
    return change;
  }
  change.ok = change.changed = true;
  change.message = "list " + name + ": " + counts_of(info);
  return change;
}

ListChange update_list(const ListInfo& held, const SourceOptions& options, std::time_t now) {
  ListChange change;
  ListInfo info = held;
  info.converted_at = now;
  std::optional<ConvertedList> converted =
      fetch_and_convert(held.source, &held, options, &info, &change);
  std::string error;
  if (converted && converted->definition_lines * 100 < held.lines * MIN_KEPT_PERCENT) {
    change.message = "the new list has only " + std::to_string(converted->definition_lines) +
                     " lines against " + std::to_string(held.lines) + " before";
    converted.reset();
  }
  if (!converted && change.ok) {
    // Unchanged: only the time of the check moves on.
    touch_list(held.name, now);
    change.message = "list " + held.name + ": " + change.message;
    return change;
  }
  if (converted && !store_list(info, *converted, &error)) change.message = error;
  if (!converted || !error.empty()) {
    change.ok = false;
    change.message = "list " + held.name + " kept as it was: " + change.message;
    log_activity("ERROR:\t*****%s*****", change.message.c_str());
    return change;
  }
  change.ok = change.changed = true;
  change.message = "list " + held.name + " updated: " + counts_of(info);
  log_activity("List %s updated: %s", held.name.c_str(), counts_of(info).c_str());
  return change;
}

std::string reload_running_vellomar(bool* running) {
  *running = false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return "could not ask Vellomar to reload (no socket)";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(PROXY_PORT);
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  if (connect_socket(s, address) != 0) {
    closesocket(s);
    return "Vellomar is not running; the lists apply when it starts";
  }
  const char request[] = "GET http://vellomar.reload/ HTTP/1.0\r\n\r\n";
  std::string reply;
  if (send(s, request, sizeof request - 1, MSG_NOSIGNAL) ==
      static_cast<ssize_t>(sizeof request - 1)) {
    char buffer[4096];
    bool ready = false;
    bool unused = false;
    while (wait_readable(s, -1, RELOAD_TIMEOUT_SECONDS, &ready, &unused) > 0 && ready) {
      ssize_t got = recv(s, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(got));
    }
  }
  closesocket(s);
  if (reply.find("Reloaded") == std::string::npos) {
    return "the program on 127.0.0.1:8000 did not confirm the reload";
  }
  *running = true;
  return "Vellomar reloaded its definitions";
}

}  // namespace adlists
