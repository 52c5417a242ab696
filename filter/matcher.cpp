// The request matcher: the fixed tests in their order, then the rules.
#include "filter/matcher.h"

#include <cstring>

#include "filter/ad_rule.h"
#include "filter/imported_list.h"
#include "filter/rule_index.h"
#include "filter/split_text.h"
#include "text/text_helpers.h"

std::atomic<int> blocking_off{0};

namespace {

constexpr std::size_t SHORTEST_FILTERED_PATH = 3;

// Pages are never blocked by rules: only the very end of the path counts, so
// a query string after the extension defeats this.
bool is_page_path(const char* path, std::size_t size) {
  const std::string_view text(path, size);
  return ends_with_ignoring_case(text, "html") || ends_with_ignoring_case(text, "htm") ||
         ends_with_ignoring_case(text, "asp");
}

Verdict verdict_of(const AdRule& rule) {
  return !rule.text.empty() && rule.text[0] == 'N' ? VERDICT_CLOSE_WINDOW : VERDICT_BLOCK;
}

}  // namespace

Verdict first_rule_verdict_linear(const RuleList& rules, const char* host, const char* path) {
  std::size_t host_size = std::strlen(host);
  std::size_t path_size = std::strlen(path);
  SplitText host_target = whole_text(host, host_size);
  SplitText path_target = whole_text(path, path_size);
  SplitText address{host, host_size, path, path_size};
  for (const AdRule& rule : rules.rules) {
    const SplitText* target;
    switch (rule.kind) {
      case 'A':
        target = &host_target;
        break;
      case 'F':
        target = &path_target;
        break;
      case 'U':
      case 'N':
        target = &address;
        break;
      default:
        continue;
    }
    if (rule_text_matches(rule.text, *target)) return verdict_of(rule);
  }
  return VERDICT_PASS;
}

Verdict first_rule_verdict(const RuleList& rules, const char* host, const char* path) {
  if (rules.index == nullptr) return first_rule_verdict_linear(rules, host, path);
  return rules.index->match(host, std::strlen(host), path, std::strlen(path));
}

Verdict match_request_in(const RuleList& rules, const char* host, const char* path,
                         RequestParty party, std::string_view page) {
  RequestTraits traits;
  traits.party = party;
  traits.page = page;
  return match_request_in(rules, host, path, traits);
}

Verdict match_request_in(const RuleList& rules, const char* host, const char* path,
                         const RequestTraits& traits) {
  if (std::strcmp(host, RELOAD_HOST) == 0) return VERDICT_RELOAD;
  if (blocking_off.load(std::memory_order_relaxed) == 1) return VERDICT_PASS;
  std::size_t host_size = std::strlen(host);
  std::size_t path_size = std::strlen(path);
  SplitText address{host, host_size, path, path_size};
  if (split_equals(address, BUILTIN_AD_PAGE, sizeof BUILTIN_AD_PAGE - 1)) {
    return VERDICT_CLOSE_WINDOW;
  }
  // The exemptions for site roots and pages hold for the user's rules. The
  // imported lists' rules are written against whole addresses, roots and
  // pages included (an ad frame is often a ".html" page), so they decide
  // every request that reaches them.
  const bool exempt = path_size < SHORTEST_FILTERED_PATH || is_page_path(path, path_size);
  Verdict verdict = VERDICT_PASS;
  if (!exempt) {
    verdict = rules.index != nullptr ? rules.index->match(host, host_size, path, path_size)
                                     : first_rule_verdict_linear(rules, host, path);
  }
  if (verdict != VERDICT_PASS || rules.imported.empty()) return verdict;
  return imported_lists_verdict(rules.imported, host, host_size, path, path_size, traits);
}
