// Reading converted lists and asking them for a verdict.
#include "filter/imported_list.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "filter/rule_index.h"
#include "filter/split_text.h"
#include "platform/files.h"
#include "settings/activity_log.h"

namespace {

bool is_list_rule_kind(char c) {
  return c == 'A' || c == 'F' || c == 'U';
}

std::shared_ptr<const RuleIndex> index_of(const std::vector<AdRule>& rules) {
  if (rules.empty()) return nullptr;
  return build_rule_index(rules);
}

bool matches(const std::shared_ptr<const RuleIndex>& index, const char* host, std::size_t host_size,
             const char* path, std::size_t path_size) {
  return index != nullptr && index->match(host, host_size, path, path_size) != VERDICT_PASS;
}

bool is_lower_host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

// Puts a host rule's text ("A" line without its letter) into `hosts`: a host
// name alone (that host, byte for byte, as the rule language compares it), or
// ">." and a host name (the hosts that end in "." and it). False for any
// other text, which stays a general rule.
bool add_host_rule(std::string_view text, HostSet& hosts, unsigned kind) {
  unsigned covers = kind * HostSet::EXACT;
  if (text.size() > 2 && text[0] == '>' && text[1] == '.') {
    text.remove_prefix(2);
    covers = kind * HostSet::SUBDOMAINS;
  }
  if (text.empty() || text.size() > HostSet::MAX_HOST || text.front() == '.' ||
      text.back() == '.') {
    return false;
  }
  for (char c : text) {
    if (!is_lower_host_char(c)) return false;
  }
  hosts.add(text, covers);
  return true;
}

// Whether a "U" rule's text is "<" + a host name + a path: the address
// starts with it exactly when the request's host is that name and its path
// starts with the path (a host holds no "/").
bool is_host_and_path(std::string_view text) {
  if (text.size() < 3 || text[0] != '<') return false;
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos || slash == 1 || slash - 1 > HostSet::MAX_HOST) {
    return false;
  }
  for (std::size_t i = 1; i < slash; ++i) {
    if (!is_lower_host_char(text[i])) return false;
  }
  return text[1] != '.' && text[slash - 1] != '.';
}

// Whether `page` is `site` (lower case) or one of its subdomains, in any
// letter case and with one trailing dot (the same host): a page an excluded
// site's must never pass for another.
bool site_matches(std::string_view page, std::string_view site) {
  if (page.size() > 1 && page.back() == '.') page.remove_suffix(1);
  if (page.size() < site.size()) return false;
  const std::size_t start = page.size() - site.size();
  if (start > 0 && page[start - 1] != '.') return false;
  for (std::size_t i = 0; i < site.size(); ++i) {
    char c = page[start + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != site[i]) return false;
  }
  return true;
}

// The registrable part of a host name, as is_third_party describes it.
std::string_view site_of(std::string_view host) {
  std::size_t last = host.rfind('.');
  if (last == std::string_view::npos || last == 0) return host;
  std::size_t second = host.rfind('.', last - 1);
  if (second == std::string_view::npos) return host;
  std::string_view tld = host.substr(last + 1);
  std::string_view label = host.substr(second + 1, last - second - 1);
  bool country_second_level =
      tld.size() == 2 && (label.size() <= 2 || label == "com" || label == "net" || label == "org" ||
                          label == "gov" || label == "edu");
  if (country_second_level) {
    std::size_t third = host.rfind('.', second - 1);
    if (second == 0) return host;
    return third == std::string_view::npos ? host : host.substr(third + 1);
  }
  return host.substr(second + 1);
}

}  // namespace

void SubdomainPaths::add(std::string_view host_and_path) {
  std::size_t slash = host_and_path.find('/');
  if (slash == std::string_view::npos || slash == 0) return;
  std::string_view text = texts_.emplace_back(host_and_path);
  by_host_[text.substr(0, slash)].push_back(text.substr(slash));
}

void PageExceptions::add(std::string_view host, std::string_view sites) {
  if (host.empty() || sites.empty()) return;
  auto found = sites_by_host_.find(host);
  if (found == sites_by_host_.end()) {
    found = sites_by_host_.emplace(hosts_.emplace_back(host), std::string()).first;
  }
  std::string& all = found->second;
  if (!all.empty()) all += '|';
  all += sites;
}

bool PageExceptions::matches(std::string_view host, std::string_view page) const {
  if (sites_by_host_.empty()) return false;
  for (std::size_t start = 0; start != std::string_view::npos;) {
    if (auto found = sites_by_host_.find(host.substr(start)); found != sites_by_host_.end()) {
      if (page.empty()) return true;
      std::string_view sites = found->second;
      while (!sites.empty()) {
        const std::size_t bar = sites.find('|');
        const std::string_view site = sites.substr(0, bar);
        if (site_matches(page, site)) return true;
        sites.remove_prefix(bar == std::string_view::npos ? sites.size() : bar + 1);
      }
    }
    const std::size_t dot = host.find('.', start);
    start = dot == std::string_view::npos ? dot : dot + 1;
  }
  return false;
}

bool SubdomainPaths::matches_host(std::string_view host, std::string_view path) const {
  auto found = by_host_.find(host);
  if (found == by_host_.end()) return false;
  for (std::string_view prefix : found->second) {
    if (path.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

bool SubdomainPaths::matches(std::string_view host, std::string_view path) const {
  for (std::size_t dot = host.find('.'); dot != std::string_view::npos;
       dot = host.find('.', dot + 1)) {
    auto found = by_host_.find(host.substr(dot + 1));
    if (found == by_host_.end()) continue;
    for (std::string_view prefix : found->second) {
      if (path.substr(0, prefix.size()) == prefix) return true;
    }
  }
  return false;
}

namespace {

// The names of the resource types in bit order (the bit of entry i is 1 << i).
constexpr std::string_view RESOURCE_NAMES[] = {
    "document", "subdocument", "image",  "stylesheet", "script",    "xmlhttprequest",
    "font",     "media",       "object", "ping",       "websocket", "other"};
static_assert(std::size(RESOURCE_NAMES) == 12 && ANY_RESOURCE == (1u << 12) - 1);

// What the Accept header of a browser says, for requests without
// Sec-Fetch-Dest. Pages and frames send the same Accept (and Firefox sends it
// for plugin objects too); a request that says only "*/*" is none of the
// types that send their own.
constexpr unsigned PAGE_TYPES = RESOURCE_DOCUMENT | RESOURCE_SUBDOCUMENT | RESOURCE_OBJECT;
constexpr unsigned STAR_TYPES = ANY_RESOURCE & ~(RESOURCE_DOCUMENT | RESOURCE_SUBDOCUMENT |
                                                 RESOURCE_IMAGE | RESOURCE_STYLESHEET);
// What Sec-Fetch-Dest "empty" is: fetch, XHR, beacons, pings and the like.
constexpr unsigned EMPTY_DEST_TYPES = RESOURCE_XHR | RESOURCE_PING | RESOURCE_OTHER;

// Each set resource_types_from_headers can give but ANY_RESOURCE.
constexpr unsigned TOLD_SETS[] = {RESOURCE_DOCUMENT,   RESOURCE_SUBDOCUMENT, RESOURCE_IMAGE,
                                  RESOURCE_STYLESHEET, RESOURCE_SCRIPT,      RESOURCE_FONT,
                                  RESOURCE_MEDIA,      RESOURCE_OBJECT,      RESOURCE_WEBSOCKET,
                                  PAGE_TYPES,          STAR_TYPES,           EMPTY_DEST_TYPES};

}  // namespace

unsigned resource_type_named(std::string_view name) {
  for (std::size_t i = 0; i < std::size(RESOURCE_NAMES); ++i) {
    if (RESOURCE_NAMES[i] == name) return 1u << i;
  }
  return 0;
}

std::string resource_type_names(unsigned types) {
  std::string out;
  for (std::size_t i = 0; i < std::size(RESOURCE_NAMES); ++i) {
    if ((types & (1u << i)) == 0) continue;
    if (!out.empty()) out += ',';
    out += RESOURCE_NAMES[i];
  }
  return out;
}

bool resource_types_can_be_told(unsigned types) {
  for (unsigned set : TOLD_SETS) {
    if ((set & ~types) == 0) return true;
  }
  return false;
}

struct ConditionalRules::Group {
  unsigned types = ANY_RESOURCE;
  bool third_party = false;
  std::vector<std::string> sites;      // pages of these (or their subdomains) only
  std::vector<std::string> not_sites;  // never on pages of these
  // Few rules are walked (an index has a fixed cost of some kilobytes);
  // more get an index.
  std::vector<AdRule> rules;
  std::shared_ptr<const RuleIndex> index;
  std::unique_ptr<SubdomainPaths> subdomains;  // none without "S" lines

  bool rule_matches(const char* host, std::size_t host_size, const char* path,
                    std::size_t path_size) const {
    if (index != nullptr) return index->match(host, host_size, path, path_size) != VERDICT_PASS;
    const SplitText host_target = whole_text(host, host_size);
    const SplitText path_target = whole_text(path, path_size);
    const SplitText address{host, host_size, path, path_size};
    for (const AdRule& rule : rules) {
      const SplitText& target = rule.kind == 'A'   ? host_target
                                : rule.kind == 'F' ? path_target
                                                   : address;
      if (rule_text_matches(rule.text, target)) return true;
    }
    return false;
  }

  // Whether a request with `traits` meets the condition.
  bool holds(const RequestTraits& traits) const {
    if ((traits.types & ~types) != 0) return false;
    if (third_party && traits.party != RequestParty::THIRD_PARTY) return false;
    if (sites.empty() && not_sites.empty()) return true;
    const std::string_view page = traits.site_page;
    if (page.empty()) return false;
    for (const std::string& site : not_sites) {
      if (site_matches(page, site)) return false;
    }
    if (sites.empty()) return true;
    for (const std::string& site : sites) {
      if (site_matches(page, site)) return true;
    }
    return false;
  }
};

ConditionalRules::ConditionalRules() = default;
ConditionalRules::~ConditionalRules() = default;

bool ConditionalRules::add(std::string_view condition, std::string_view rule) {
  auto found = group_of_condition_.find(std::string(condition));
  if (found == group_of_condition_.end()) {
    const std::size_t space = condition.find(' ');
    if (space == std::string_view::npos) return false;
    std::string_view types = condition.substr(0, space);
    std::string_view sites = condition.substr(space + 1);
    auto group = std::make_unique<Group>();
    if (types.size() >= 3 && types.substr(types.size() - 3) == "/3p") {
      group->third_party = true;
      types.remove_suffix(3);
    }
    if (types != "*") {
      group->types = 0;
      while (!types.empty()) {
        const std::size_t comma = types.find(',');
        const unsigned bit = resource_type_named(types.substr(0, comma));
        if (bit == 0) return false;
        group->types |= bit;
        types.remove_prefix(comma == std::string_view::npos ? types.size() : comma + 1);
      }
    }
    if (sites != "*") {
      while (!sites.empty()) {
        const std::size_t bar = sites.find('|');
        std::string_view site = sites.substr(0, bar);
        sites.remove_prefix(bar == std::string_view::npos ? sites.size() : bar + 1);
        const bool negated = !site.empty() && site[0] == '~';
        if (negated) site.remove_prefix(1);
        if (site.empty()) return false;
        (negated ? group->not_sites : group->sites).emplace_back(site);
      }
    }
    // A condition that holds for every request would make the rule wider
    // than the list meant it.
    if (group->types == ANY_RESOURCE && !group->third_party && group->sites.empty() &&
        group->not_sites.empty()) {
      return false;
    }
    found = group_of_condition_.emplace(std::string(condition), groups_.size()).first;
    groups_.push_back(std::move(group));
  }
  Group& group = *groups_[found->second];
  if (!rule.empty() && rule[0] == 'S') {
    if (group.subdomains == nullptr) group.subdomains = std::make_unique<SubdomainPaths>();
    group.subdomains->add(rule.substr(1));
    any_subdomain_path_.add(rule.substr(1));
  } else if (rule.size() >= 2 && is_list_rule_kind(rule[0])) {
    group.rules.push_back(AdRule{std::string(rule.substr(1)), rule[0]});
  } else {
    return false;
  }
  return true;
}

void ConditionalRules::append_rules(std::vector<AdRule>& into) const {
  for (const auto& group : groups_)
    into.insert(into.end(), group->rules.begin(), group->rules.end());
}

void ConditionalRules::finish() {
  std::vector<AdRule> all;
  for (const auto& group : groups_) all.insert(all.end(), group->rules.begin(), group->rules.end());
  any_rule_ = index_of(all);
  constexpr std::size_t MOST_WALKED = 16;
  for (auto& group : groups_) {
    if (group->rules.size() > MOST_WALKED) {
      group->index = index_of(group->rules);
      std::vector<AdRule>().swap(group->rules);
    } else {
      group->rules.shrink_to_fit();
    }
  }
  std::unordered_map<std::string, std::size_t>().swap(group_of_condition_);
}

bool ConditionalRules::matches(const char* host, std::size_t host_size, const char* path,
                               std::size_t path_size, const RequestTraits& traits,
                               Known known) const {
  const bool some_rule = known == Known::SOME_RULE_MATCHES ||
                         (known == Known::NOTHING && any_rule_ != nullptr &&
                          any_rule_->match(host, host_size, path, path_size) != VERDICT_PASS);
  if (!some_rule && !any_subdomain_path_.matches({host, host_size}, {path, path_size})) {
    return false;
  }
  for (const auto& group : groups_) {
    if (!group->holds(traits)) continue;
    if (group->rule_matches(host, host_size, path, path_size) ||
        (group->subdomains != nullptr &&
         group->subdomains->matches({host, host_size}, {path, path_size}))) {
      return true;
    }
  }
  return false;
}

namespace {

// Collects the lines of one or more converted files into one list.
class ListBuilder {
 public:
  ListBuilder() : list_(std::make_shared<ImportedList>()) {}

  void add(std::string_view text) {
    while (!text.empty()) {
      std::size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      add_line(line);
    }
  }

  std::shared_ptr<const ImportedList> finish(std::string name, std::uint64_t digest = 0) {
    list_->name = std::move(name);
    list_->source_digest = digest;
    const std::pair<const SubdomainPaths*, unsigned> paths[] = {
        {&list_->block_subdomains, ImportedList::BLOCKING_PATHS},
        {&list_->third_party_subdomains, ImportedList::THIRD_PARTY_PATHS},
        {&list_->exception_subdomains, ImportedList::EXCEPTION_PATHS},
        {&list_->block_host_paths, ImportedList::BLOCKING_HOST_PATHS},
        {&list_->third_party_host_paths, ImportedList::THIRD_PARTY_HOST_PATHS},
        {&list_->exception_host_paths, ImportedList::EXCEPTION_HOST_PATHS}};
    for (const auto& kind : paths) {
      const unsigned bit = kind.second;
      kind.first->for_each_host([&](std::string_view host) { list_->hosts.add(host, bit); });
    }
    list_->hosts.shrink_to_fit();
    list_->third_party_from = block_.size();
    block_.insert(block_.end(), std::make_move_iterator(third_party_.begin()),
                  std::make_move_iterator(third_party_.end()));
    std::vector<AdRule>().swap(third_party_);
    list_->conditional_from = block_.size();
    list_->conditional.append_rules(block_);
    list_->blocking = index_of(block_);
    list_->conditional.finish();
    list_->exceptions = index_of(exceptions_);
    return std::move(list_);
  }

 private:
  void add_line(std::string_view line) {
    if (line.size() > 2 && line.substr(0, 2) == "#T") {
      // "#T" + types + " " + sites + " " + rule line.
      const std::size_t first = line.find(' ');
      const std::size_t second =
          first == std::string_view::npos ? first : line.find(' ', first + 1);
      if (second != std::string_view::npos &&
          list_->conditional.add(line.substr(2, second - 2), line.substr(second + 1))) {
        ++list_->rule_lines;
      }
      return;
    }
    if (line.size() > 3 && line.substr(0, 3) == "#@H") {
      const std::size_t space = line.find(' ');
      if (space != std::string_view::npos) {
        list_->page_exceptions.add(line.substr(3, space - 3), line.substr(space + 1));
        ++list_->rule_lines;
      }
      return;
    }
    std::vector<AdRule>* into = &block_;
    SubdomainPaths* subdomains = &list_->block_subdomains;
    SubdomainPaths* host_paths = &list_->block_host_paths;
    unsigned kind = ImportedList::BLOCKING;
    if (line.size() >= 2 && line[0] == '#' && (line[1] == '@' || line[1] == '3')) {
      const bool exception = line[1] == '@';
      into = exception ? &exceptions_ : &third_party_;
      subdomains = exception ? &list_->exception_subdomains : &list_->third_party_subdomains;
      host_paths = exception ? &list_->exception_host_paths : &list_->third_party_host_paths;
      kind = exception ? ImportedList::EXCEPTION : ImportedList::THIRD_PARTY;
      line.remove_prefix(2);
    } else if (line.size() >= 2 && line[0] == '#' && line[1] == 'S') {
      line.remove_prefix(1);
    }
    if (!line.empty() && line[0] == 'S') {
      subdomains->add(line.substr(1));
      return;
    }
    if (line.empty() || !is_list_rule_kind(line[0])) return;
    ++list_->rule_lines;
    if (line[0] == 'A' && add_host_rule(line.substr(1), list_->hosts, kind)) return;
    if (line[0] == 'U' && is_host_and_path(line.substr(1))) {
      host_paths->add(line.substr(2));
      return;
    }
    into->push_back(AdRule{std::string(line.substr(1)), line[0]});
  }

  std::shared_ptr<ImportedList> list_;
  std::vector<AdRule> block_;
  std::vector<AdRule> third_party_;
  std::vector<AdRule> exceptions_;
};

}  // namespace

std::shared_ptr<const ImportedList> parse_imported_list(std::string name, std::string_view text) {
  ListBuilder builder;
  builder.add(text);
  return builder.finish(std::move(name));
}

Verdict imported_lists_verdict(const std::vector<std::shared_ptr<const ImportedList>>& lists,
                               const char* host, std::size_t host_size, const char* path,
                               std::size_t path_size, const RequestTraits& traits) {
  const RequestParty party = traits.party;
  const std::string_view page = traits.page;
  // Conditional rules can hold only for what the headers told.
  const bool conditions_told = traits.types != ANY_RESOURCE || !traits.site_page.empty();
  // The host as the lists' rules see it (see the header); a name too long for
  // any host is left as it is.
  char folded[HostSet::MAX_HOST + 1];
  if (host_size <= HostSet::MAX_HOST) {
    if (host_size > 1 && host[host_size - 1] == '.') --host_size;
    for (std::size_t i = 0; i < host_size; ++i) {
      const char c = host[i];
      folded[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    folded[host_size] = '\0';
    host = folded;
  }
  std::string_view h(host, host_size);
  std::string_view p(path, path_size);
  const bool third = party != RequestParty::FIRST_PARTY;
  for (const auto& list : lists) {
    const HostSet::Found found = list->hosts.find_all(h);
    auto covers = [&](unsigned kind) {
      return (found.self & kind * HostSet::EXACT) != 0 ||
             (found.parents & kind * HostSet::SUBDOMAINS) != 0;
    };
    bool blocked = covers(ImportedList::BLOCKING) ||
                   ((found.self & ImportedList::BLOCKING_HOST_PATHS) != 0 &&
                    list->block_host_paths.matches_host(h, p)) ||
                   ((found.parents & ImportedList::BLOCKING_PATHS) != 0 &&
                    list->block_subdomains.matches(h, p)) ||
                   (third && (covers(ImportedList::THIRD_PARTY) ||
                              ((found.self & ImportedList::THIRD_PARTY_HOST_PATHS) != 0 &&
                               list->third_party_host_paths.matches_host(h, p)) ||
                              ((found.parents & ImportedList::THIRD_PARTY_PATHS) != 0 &&
                               list->third_party_subdomains.matches(h, p))));
    if (!blocked) {
      // The blocking index is asked for the rules before `limit`: the
      // third-party ones only for a third-party request, the conditional ones
      // only for one whose headers told something and that is not first-party
      // (the third-party ones lie between; a first-party one leaves the
      // conditional rules to ask their own index).
      const bool ask_conditional = conditions_told && !list->conditional.empty();
      const std::size_t limit = !third            ? list->third_party_from
                                : ask_conditional ? std::numeric_limits<std::size_t>::max()
                                                  : list->conditional_from;
      const std::size_t first =
          list->blocking != nullptr
              ? list->blocking->first_match_before(host, host_size, path, path_size, limit)
              : limit;
      const ConditionalRules::Known known = !third ? ConditionalRules::Known::NOTHING
                                            : first < limit
                                                ? ConditionalRules::Known::SOME_RULE_MATCHES
                                                : ConditionalRules::Known::NO_RULE_MATCHES;
      blocked = first < std::min(limit, list->conditional_from) ||
                (ask_conditional &&
                 list->conditional.matches(host, host_size, path, path_size, traits, known));
    }
    if (blocked && !covers(ImportedList::EXCEPTION) &&
        !list->page_exceptions.matches(h, party == RequestParty::UNKNOWN ? "" : page) &&
        !((found.self & ImportedList::EXCEPTION_HOST_PATHS) != 0 &&
          list->exception_host_paths.matches_host(h, p)) &&
        !matches(list->exceptions, host, host_size, path, path_size) &&
        !((found.parents & ImportedList::EXCEPTION_PATHS) != 0 &&
          list->exception_subdomains.matches(h, p))) {
      return VERDICT_BLOCK;
    }
  }
  return VERDICT_PASS;
}

std::vector<std::shared_ptr<const ImportedList>> load_imported_lists(
    const std::vector<std::shared_ptr<const ImportedList>>& previous) {
  std::vector<std::shared_ptr<const ImportedList>> lists;
  const std::string suffix = IMPORTED_LIST_SUFFIX;
  // All lists go into one set of indexes: a request then costs one look-up
  // per kind of rule however many lists there are, and an exception of any
  // list keeps every list from blocking what it names, as the lists'
  // authors expect of an engine that loads several.
  // The files are read first, all of them, and built only when they differ
  // from the ones `previous` was built from.
  std::vector<std::string> texts;
  std::string names;
  std::uint64_t digest = 0;
  for (const std::string& file : list_files(IMPORTED_LISTS_DIR)) {
    if (file.size() <= suffix.size() ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string name = file.substr(0, file.size() - suffix.size());
    // A file read only in part could end in a cut rule, which may block
    // more than the whole one: such a file is left out.
    std::string text;
    if (!read_whole_file((std::string(IMPORTED_LISTS_DIR) + "/" + file).c_str(), &text)) {
      log_activity("ERROR:\t*****Could not read the list %s*****", name.c_str());
      continue;
    }
    digest = (digest * 0x100000001B3ull) ^ std::hash<std::string>()(file);
    digest = (digest * 0x100000001B3ull) ^ std::hash<std::string>()(text);
    texts.push_back(std::move(text));
    names += (names.empty() ? "" : ", ") + name;
  }
  if (names.empty()) return lists;
  if (previous.size() == 1 && previous[0]->source_digest == digest && previous[0]->name == names) {
    return previous;
  }
  ListBuilder builder;
  for (std::string& text : texts) {
    builder.add(text);
    std::string().swap(text);
  }
  lists.push_back(builder.finish(std::move(names), digest));
  return lists;
}

bool is_third_party(std::string_view host, std::string_view referer_host) {
  if (host == referer_host) return false;
  return site_of(host) != site_of(referer_host);
}

namespace {

// The value of the request's first header `name` ("\n", the name in lower
// case, ":"), without the blanks around it; nothing without one.
std::optional<std::string_view> header_of(std::string_view head, std::string_view name) {
  std::size_t end = head.find("\r\n\r\n");
  if (end != std::string_view::npos) head = head.substr(0, end + 2);
  for (std::size_t at = head.find('\n'); at != std::string_view::npos;
       at = head.find('\n', at + 1)) {
    if (head.size() - at < name.size()) break;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = head[at + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      same = c == name[i];
    }
    if (!same) continue;
    std::string_view value = head.substr(at + name.size());
    value = value.substr(0, value.find_first_of("\r\n"));
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return value;
  }
  return std::nullopt;
}

std::optional<std::string_view> referer_of(std::string_view head) {
  return header_of(head, "\nreferer:");
}

bool starts_with_folded(std::string_view text, std::string_view lower_prefix) {
  if (text.size() < lower_prefix.size()) return false;
  for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lower_prefix[i]) return false;
  }
  return true;
}

bool equals_folded(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && starts_with_folded(text, lower);
}

// The host a Referer value names; empty when it names none.
std::string_view host_of_referer(std::string_view value) {
  std::size_t scheme = value.find("://");
  if (scheme == std::string_view::npos) return {};
  value.remove_prefix(scheme + 3);
  std::string_view referer_host = value.substr(0, value.find_first_of(":/?#"));
  if (std::size_t at_sign = referer_host.rfind('@'); at_sign != std::string_view::npos) {
    referer_host.remove_prefix(at_sign + 1);
  }
  while (!referer_host.empty() && referer_host.front() == ' ') referer_host.remove_prefix(1);
  return referer_host;
}

}  // namespace

unsigned resource_types_from_headers(std::string_view head) {
  if (const auto dest = header_of(head, "\nsec-fetch-dest:")) {
    static constexpr std::pair<std::string_view, unsigned> DESTS[] = {
        {"document", RESOURCE_DOCUMENT},   {"iframe", RESOURCE_SUBDOCUMENT},
        {"frame", RESOURCE_SUBDOCUMENT},   {"image", RESOURCE_IMAGE},
        {"style", RESOURCE_STYLESHEET},    {"script", RESOURCE_SCRIPT},
        {"font", RESOURCE_FONT},           {"audio", RESOURCE_MEDIA},
        {"video", RESOURCE_MEDIA},         {"track", RESOURCE_MEDIA},
        {"object", RESOURCE_OBJECT},       {"embed", RESOURCE_OBJECT},
        {"websocket", RESOURCE_WEBSOCKET}, {"empty", EMPTY_DEST_TYPES}};
    for (const auto& [name, types] : DESTS) {
      if (equals_folded(*dest, name)) return types;
    }
    // Workers, manifests, reports and names to come: not told here.
    return ANY_RESOURCE;
  }
  const auto accept = header_of(head, "\naccept:");
  if (!accept) return ANY_RESOURCE;
  if (*accept == "*/*") return STAR_TYPES;
  if (starts_with_folded(*accept, "image/")) return RESOURCE_IMAGE;
  if (starts_with_folded(*accept, "text/css")) return RESOURCE_STYLESHEET;
  if (starts_with_folded(*accept, "text/html") ||
      starts_with_folded(*accept, "application/xhtml+xml")) {
    return PAGE_TYPES;
  }
  if (starts_with_folded(*accept, "video/") || starts_with_folded(*accept, "audio/")) {
    return RESOURCE_MEDIA;
  }
  if (starts_with_folded(*accept, "application/font-")) return RESOURCE_FONT;
  return ANY_RESOURCE;
}

RequestTraits traits_from_headers(std::string_view head, std::string_view host) {
  RequestTraits traits;
  const std::optional<std::string_view> referer = referer_of(head);
  const std::string_view referer_host = referer ? host_of_referer(*referer) : std::string_view();
  if (!referer) {
    traits.party = RequestParty::FIRST_PARTY;
  } else if (referer_host.empty()) {
    traits.party = RequestParty::THIRD_PARTY;
  } else {
    traits.party =
        is_third_party(host, referer_host) ? RequestParty::THIRD_PARTY : RequestParty::FIRST_PARTY;
  }
  traits.page = referer ? referer_host : host;
  traits.types = resource_types_from_headers(head);
  if (traits.types != ANY_RESOURCE &&
      (traits.types & (RESOURCE_DOCUMENT | RESOURCE_SUBDOCUMENT)) == 0) {
    traits.site_page = referer_host;
  }
  return traits;
}
