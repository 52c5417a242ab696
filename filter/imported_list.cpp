// Reading converted lists and asking them for a verdict.
#include "filter/imported_list.h"

#include <cstdio>
#include <new>

#include "filter/matcher.h"
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

bool read_whole_file(const std::string& name, std::string* text) {
  FILE* file = open_file(name.c_str(), "r");
  if (file == nullptr) return false;
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
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

std::shared_ptr<const ImportedList> parse_imported_list(std::string name, std::string_view text) {
  auto list = std::make_shared<ImportedList>();
  std::vector<AdRule> block;
  std::vector<AdRule> third_party;
  std::vector<AdRule> exceptions;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<AdRule>* into = &block;
    SubdomainPaths* subdomains = &list->block_subdomains;
    if (line.size() >= 2 && line[0] == '#' && (line[1] == '@' || line[1] == '3')) {
      into = line[1] == '@' ? &exceptions : &third_party;
      subdomains = line[1] == '@' ? &list->exception_subdomains : &list->third_party_subdomains;
      line.remove_prefix(2);
    } else if (line.size() >= 2 && line[0] == '#' && line[1] == 'S') {
      line.remove_prefix(1);
    }
    if (!line.empty() && line[0] == 'S') {
      subdomains->add(line.substr(1));
      continue;
    }
    if (line.empty() || !is_list_rule_kind(line[0])) continue;
    into->push_back(AdRule{std::string(line.substr(1)), line[0]});
  }
  list->name = std::move(name);
  list->rule_lines = block.size() + third_party.size() + exceptions.size();
  list->block = index_of(block);
  list->third_party = index_of(third_party);
  list->exceptions = index_of(exceptions);
  return list;
}

Verdict imported_lists_verdict(const std::vector<std::shared_ptr<const ImportedList>>& lists,
                               const char* host, std::size_t host_size, const char* path,
                               std::size_t path_size, RequestParty party) {
  std::string_view h(host, host_size);
  std::string_view p(path, path_size);
  for (const auto& list : lists) {
    bool third = party != RequestParty::FIRST_PARTY;
    bool blocked = matches(list->block, host, host_size, path, path_size) ||
                   list->block_subdomains.matches(h, p) ||
                   (third && (matches(list->third_party, host, host_size, path, path_size) ||
                              list->third_party_subdomains.matches(h, p)));
    if (blocked && !matches(list->exceptions, host, host_size, path, path_size) &&
        !list->exception_subdomains.matches(h, p)) {
      return VERDICT_BLOCK;
    }
  }
  return VERDICT_PASS;
}

std::vector<std::shared_ptr<const ImportedList>> load_imported_lists() {
  std::vector<std::shared_ptr<const ImportedList>> lists;
  const std::string suffix = IMPORTED_LIST_SUFFIX;
  // All lists go into one set of indexes: a request then costs one look-up
  // per kind of rule however many lists there are, and an exception of any
  // list keeps every list from blocking what it names, as the lists'
  // authors expect of an engine that loads several.
  std::string all;
  std::string names;
  for (const std::string& file : list_files(IMPORTED_LISTS_DIR)) {
    if (file.size() <= suffix.size() ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string name = file.substr(0, file.size() - suffix.size());
    // A file read only in part could end in a cut rule, which may block
    // more than the whole one: such a file is left out.
    std::string text;
    if (!read_whole_file(std::string(IMPORTED_LISTS_DIR) + "/" + file, &text)) {
      log_activity("ERROR:\t*****Could not read the list %s*****", name.c_str());
      continue;
    }
    all += text;
    all += '\n';
    names += (names.empty() ? "" : ", ") + name;
  }
  if (!names.empty()) lists.push_back(parse_imported_list(std::move(names), all));
  return lists;
}

bool is_third_party(std::string_view host, std::string_view referer_host) {
  if (host == referer_host) return false;
  return site_of(host) != site_of(referer_host);
}

RequestParty party_from_headers(std::string_view head, std::string_view host) {
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
    value = value.substr(0, value.find_first_of("\r\n"));
    std::size_t scheme = value.find("://");
    if (scheme == std::string_view::npos) return RequestParty::THIRD_PARTY;
    value.remove_prefix(scheme + 3);
    std::string_view referer_host = value.substr(0, value.find_first_of(":/?#"));
    if (std::size_t at_sign = referer_host.rfind('@'); at_sign != std::string_view::npos) {
      referer_host.remove_prefix(at_sign + 1);
    }
    return is_third_party(host, referer_host) ? RequestParty::THIRD_PARTY
                                              : RequestParty::FIRST_PARTY;
  }
  return RequestParty::FIRST_PARTY;
}
