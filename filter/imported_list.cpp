// Reading converted lists and asking them for a verdict.
#include "filter/imported_list.h"

#include <cstdio>
#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "filter/rule_index.h"
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
        if (page == site ||
            (page.size() > site.size() && page[page.size() - site.size() - 1] == '.' &&
             page.substr(page.size() - site.size()) == site)) {
          return true;
        }
        sites.remove_prefix(bar == std::string_view::npos ? sites.size() : bar + 1);
      }
    }
    const std::size_t dot = host.find('.', start);
    start = dot == std::string_view::npos ? dot : dot + 1;
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
        {&list_->exception_subdomains, ImportedList::EXCEPTION_PATHS}};
    for (const auto& kind : paths) {
      const unsigned bit = kind.second;
      kind.first->for_each_host([&](std::string_view host) { list_->hosts.add(host, bit); });
    }
    list_->hosts.shrink_to_fit();
    list_->block = index_of(block_);
    list_->third_party = index_of(third_party_);
    list_->exceptions = index_of(exceptions_);
    return std::move(list_);
  }

 private:
  void add_line(std::string_view line) {
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
    unsigned kind = ImportedList::BLOCKING;
    if (line.size() >= 2 && line[0] == '#' && (line[1] == '@' || line[1] == '3')) {
      const bool exception = line[1] == '@';
      into = exception ? &exceptions_ : &third_party_;
      subdomains = exception ? &list_->exception_subdomains : &list_->third_party_subdomains;
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
                               std::size_t path_size, RequestParty party, std::string_view page) {
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
                   matches(list->block, host, host_size, path, path_size) ||
                   ((found.parents & ImportedList::BLOCKING_PATHS) != 0 &&
                    list->block_subdomains.matches(h, p)) ||
                   (third && (covers(ImportedList::THIRD_PARTY) ||
                              matches(list->third_party, host, host_size, path, path_size) ||
                              ((found.parents & ImportedList::THIRD_PARTY_PATHS) != 0 &&
                               list->third_party_subdomains.matches(h, p))));
    if (blocked && !covers(ImportedList::EXCEPTION) &&
        !list->page_exceptions.matches(h, party == RequestParty::UNKNOWN ? "" : page) &&
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

// The value of the request's Referer header; nothing without one.
std::optional<std::string_view> referer_of(std::string_view head) {
  std::size_t end = head.find("\r\n\r\n");
  if (end != std::string_view::npos) head = head.substr(0, end + 2);
  static constexpr std::string_view NAME = "\nreferer:";
  for (std::size_t at = head.find('\n'); at != std::string_view::npos;
       at = head.find('\n', at + 1)) {
    if (head.size() - at < NAME.size()) break;
    bool same = true;
    for (std::size_t i = 0; i < NAME.size() && same; ++i) {
      char c = head[at + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      same = c == NAME[i];
    }
    if (!same) continue;
    std::string_view value = head.substr(at + NAME.size());
    return value.substr(0, value.find_first_of("\r\n"));
  }
  return std::nullopt;
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

namespace {

RequestParty party_of(std::optional<std::string_view> referer, std::string_view host) {
  if (!referer) return RequestParty::FIRST_PARTY;
  const std::string_view referer_host = host_of_referer(*referer);
  if (referer_host.empty()) return RequestParty::THIRD_PARTY;
  return is_third_party(host, referer_host) ? RequestParty::THIRD_PARTY : RequestParty::FIRST_PARTY;
}

}  // namespace

RequestSource source_from_headers(std::string_view head, std::string_view host) {
  const std::optional<std::string_view> referer = referer_of(head);
  return {party_of(referer, host), referer ? host_of_referer(*referer) : host};
}
