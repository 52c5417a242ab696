// The inspection snapshot, the pass-through hosts and the origin-failure page.
#include "proxy/inspection.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "certauth/authority.h"
#include "platform/files.h"
#include "settings/activity_log.h"
#include "settings/registry_settings.h"

namespace {

// The published snapshot and the remembered hosts. Made on first use and
// never destroyed: session threads and the proxy thread may still read or
// replace them while exit runs the static destructors.
struct Published {
  std::mutex mutex;
  std::shared_ptr<const InspectionState> state = std::make_shared<InspectionState>();
};
Published& published() {
  static Published* const instance = new Published;
  return *instance;
}

struct Remembered {
  std::mutex mutex;
  bool loaded = false;
  std::set<std::string> hosts;
};
Remembered& remembered_hosts() {
  static Remembered* const instance = new Remembered;
  return *instance;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

std::string remembered_path() {
  return certauth::authority_directory() + "/" + REMEMBERED_HOSTS_FILE;
}

// Loads the remembered hosts once; the caller holds their mutex.
void load_remembered(Remembered& remembered) {
  if (remembered.loaded) return;
  remembered.loaded = true;
  std::ifstream in(remembered_path());
  std::string line;
  while (std::getline(in, line) && remembered.hosts.size() < REMEMBERED_HOSTS_LIMIT) {
    const std::string_view host = trimmed(line);
    if (!host.empty()) remembered.hosts.insert(lower(host));
  }
}

std::string read_pass_through_file() {
  FILE* file = open_file(PASS_THROUGH_FILE, "r");
  if (file == nullptr) return {};
  std::string text;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  std::fclose(file);
  return text;
}

void html_escape(std::string* out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        *out += "&amp;";
        break;
      case '<':
        *out += "&lt;";
        break;
      case '>':
        *out += "&gt;";
        break;
      case '"':
        *out += "&quot;";
        break;
      case '\'':
        *out += "&#39;";
        break;
      default:
        *out += c;
    }
  }
}

}  // namespace

HostSuffixes HostSuffixes::parse(std::string_view text) {
  HostSuffixes list;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    list.add(line);
  }
  return list;
}

void HostSuffixes::add(std::string_view entry) {
  entry = trimmed(entry);
  if (entry.substr(0, 2) == "*.") entry.remove_prefix(2);
  while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  if (!entry.empty()) suffixes_.push_back(lower(entry));
}

bool HostSuffixes::matches(std::string_view host_text) const {
  const std::string host = lower(host_text);
  for (const std::string& suffix : suffixes_) {
    if (host.size() < suffix.size()) continue;
    if (host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    if (host.size() == suffix.size() || host[host.size() - suffix.size() - 1] == '.') return true;
  }
  return false;
}

std::shared_ptr<const InspectionState> current_inspection() {
  Published& in_force = published();
  std::lock_guard lock(in_force.mutex);
  return in_force.state;
}

void publish_inspection(std::shared_ptr<const InspectionState> state) {
  Published& in_force = published();
  std::lock_guard lock(in_force.mutex);
  // The old snapshot is let go after the lock, by whoever holds it last.
  state.swap(in_force.state);
}

void reload_inspection() {
  auto state = std::make_shared<InspectionState>();
  state->pass_through = HostSuffixes::parse(read_pass_through_file());
  const std::shared_ptr<const InspectionState> old = current_inspection();
  if (https_inspection_enabled()) {
    std::string error;
    auto authority = certauth::load_authority(&error);
    if (authority) {
      // The same authority keeps the certificates minted so far.
      if (old->leaves && old->leaves->authority().id == authority->id) {
        state->leaves = old->leaves;
      } else {
        state->leaves = std::make_shared<certauth::LeafCache>(authority);
      }
      state->origin_context = certauth::make_origin_context(&error);
      if (state->origin_context) state->browser_context = certauth::make_browser_context(&error);
      state->enabled = state->leaves->ok() && state->origin_context && state->browser_context;
    }
    if (!state->enabled) {
      state->reason = error;
      log_activity("ERROR:\t*****HTTPS inspection is off: %s*****", error.c_str());
    }
  }
  publish_inspection(std::move(state));
}

bool passes_through(const InspectionState& state, std::string_view host) {
  if (state.pass_through.matches(host)) return true;
  Remembered& remembered = remembered_hosts();
  std::lock_guard lock(remembered.mutex);
  load_remembered(remembered);
  return remembered.hosts.count(lower(host)) != 0;
}

void remember_client_certificate_host(std::string_view host) {
  Remembered& remembered = remembered_hosts();
  std::lock_guard lock(remembered.mutex);
  load_remembered(remembered);
  if (remembered.hosts.size() >= REMEMBERED_HOSTS_LIMIT) return;
  if (!remembered.hosts.insert(lower(host)).second) return;
  std::string text;
  for (const std::string& name : remembered.hosts) text += name + "\n";
  std::string error;
  if (!certauth::replace_private_file(remembered_path(), text, &error)) {
    log_activity("ERROR:\t*****Cannot store %s: %s*****", remembered_path().c_str(), error.c_str());
  }
}

std::string origin_failure_page(std::string_view host, std::string_view reason) {
  std::string body =
      "<HTML><HEAD><TITLE>Message From Vellomar</TITLE></HEAD><BODY>\r\n"
      "<H1>Vellomar did not connect to \"";
  html_escape(&body, host);
  body += "\"</H1>\r\n<P>No trusted connection to the server could be made: ";
  html_escape(&body, reason);
  body +=
      ".</P>\r\n<P>Vellomar passes nothing on to a server whose identity it cannot "
      "check.</P>\r\n</BODY></HTML>\r\n";
  return "HTTP/1.1 502 Bad Gateway\r\nServer: Vellomar\r\nContent-Type: text/html; "
         "charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}
