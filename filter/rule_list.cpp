// The rule list in force: loading "vellomar.ini", acting on its "P" and bad
// lines in file order, and publishing the finished list whole.
//
// Sessions read the list through a thread_local Reader and take no lock.
// Loaders take one lock among themselves, so that two reloads cannot
// interleave their "P" lines or build on the same old list.
#include "filter/rule_list.h"

#include <cstdio>
#include <mutex>
#include <new>

#include "filter/definitions_parser.h"
#include "filter/imported_list.h"
#include "filter/rule_index.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/published.h"
#include "settings/activity_log.h"
#include "settings/registry_settings.h"
#include "settings/upstream_proxy.h"

namespace {

constexpr char DEFINITIONS_FILE[] = "vellomar.ini";

// Never destroyed: detached session threads may still match requests while
// the process runs its exit handlers.
Published<RuleList>& rules_in_force() {
  static Published<RuleList>* const list = new Published<RuleList>();
  return *list;
}

std::mutex& loader_mutex() {
  static std::mutex* const mutex = new std::mutex();
  return *mutex;
}

// Applies each line as it comes: rules are collected, "P" lines are stored
// and applied, bad lines are logged.
class LoadingSink : public DefinitionSink {
 public:
  void rule(char kind, std::string_view text) override {
    rules.push_back(AdRule{std::string(text), kind});
  }
  void proxy_line(const ProxyLine& line) override {
    write_proxy_setting(line.host.c_str(), line.port);
    select_upstream_proxy(line.host.c_str(), line.port);
  }
  void bad_line(std::string_view line) override {
    std::string text(line);
    log_activity("ERROR:\t*****Bad Line in Vellomar.ini: %s", text.c_str());
  }
  std::vector<AdRule> rules;
};

// The whole file as text, or false when it cannot be opened.
bool read_definitions_file(std::string* text) {
  FILE* file = open_file(DEFINITIONS_FILE, "r");
  if (file == nullptr) return false;
  char buffer[8192];
  std::size_t got;
  try {
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
  } catch (const std::bad_alloc&) {
    // Whatever was read is used; the loader reports the shortage.
    log_activity("ERROR:\t*****Malloc Failed!*****");
  }
  std::fclose(file);
  return true;
}

// Reads the file and builds the list: its rules in front of `base`. Returns
// null when the file cannot be opened. Caller holds loader_mutex().
std::shared_ptr<RuleList> build_from_file(const std::vector<AdRule>& base) {
  std::string text;
  if (!read_definitions_file(&text)) return nullptr;
  LoadingSink sink;
  try {
    scan_ad_definitions(text, sink);
  } catch (const std::bad_alloc&) {
    // Loading stops; the rules read so far stay.
    log_activity("ERROR:\t*****Malloc Failed!*****");
  }
  auto list = std::make_shared<RuleList>();
  list->rules = rules_in_list_order(std::move(sink.rules), base);
  try {
    list->index = build_rule_index(list->rules);
  } catch (const std::bad_alloc&) {
    // The matcher walks the list instead.
    log_activity("ERROR:\t*****Malloc Failed!*****");
  }
  return list;
}

// Adds the converted lists to `list` (those of `previous` again when their
// files have not changed); false when there are none.
bool add_imported_lists(RuleList& list, const RuleList& previous) {
  try {
    list.imported = load_imported_lists(previous.imported);
  } catch (const std::bad_alloc&) {
    // The user's own rules still apply.
    list.imported.clear();
    log_activity("ERROR:\t*****Malloc Failed!*****");
  }
  return !list.imported.empty();
}

// Publishes `list` and lets go of the one it replaces; the memory a build
// used aside goes back to the system rather than staying with the thread
// that happened to reload.
void publish(std::shared_ptr<RuleList> list, std::shared_ptr<const RuleList> old) {
  // The calling thread's own reader keeps the old list until its next
  // current_rules(): a reference it took before stays valid, as promised.
  rules_in_force().publish(std::move(list));
  old.reset();
  platform::release_free_memory();
}

void rebuild_locked() {
  platform::release_free_memory();
  std::shared_ptr<const RuleList> old = rules_in_force().load();
  std::shared_ptr<RuleList> list = build_from_file({});
  if (list == nullptr) list = std::make_shared<RuleList>();
  add_imported_lists(*list, *old);
  publish(std::move(list), std::move(old));
}

}  // namespace

const RuleList& current_rules() {
  thread_local Published<RuleList>::Reader reader;
  return reader.get(rules_in_force());
}

void load_ad_definitions() {
  std::lock_guard<std::mutex> lock(loader_mutex());
  platform::release_free_memory();
  std::shared_ptr<const RuleList> old = rules_in_force().load();
  std::shared_ptr<RuleList> list = build_from_file(old->rules);
  if (list == nullptr) {
    // Without the file the user's rules stay as they are; lists still load.
    list = std::make_shared<RuleList>(RuleList{old->rules, old->index, {}});
    if (!add_imported_lists(*list, *old) && old->imported.empty()) return;
  } else {
    add_imported_lists(*list, *old);
  }
  publish(std::move(list), std::move(old));
}

void free_rule_list() {
  std::lock_guard<std::mutex> lock(loader_mutex());
  rules_in_force().publish(std::make_shared<const RuleList>());
}

void reload_ad_definitions() {
  std::lock_guard<std::mutex> lock(loader_mutex());
  reset_upstream_proxy();
  rebuild_locked();
}

void rebuild_ad_definitions() {
  std::lock_guard<std::mutex> lock(loader_mutex());
  rebuild_locked();
}
