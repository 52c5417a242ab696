// The matcher and the neutraliser against the rule list in force, and the
// neutraliser's log lines.
#include "filter/rules_in_force.h"

#include "filter/matcher.h"
#include "filter/popup_neutraliser.h"
#include "filter/rule_list.h"
#include "settings/activity_log.h"

Verdict match_request(const char* host, const char* path) {
  return match_request_in(current_rules(), host, path);
}

Verdict match_request_from(const char* host, const char* path, RequestParty party,
                           std::string_view page) {
  return match_request_in(current_rules(), host, path, party, page);
}

Verdict match_request_from(const char* host, const char* path, const RequestTraits& traits) {
  return match_request_in(current_rules(), host, path, traits);
}

Verdict match_request_with_head(const char* host, const char* path, std::string_view head) {
  const RuleList& rules = current_rules();
  if (rules.imported.empty()) return match_request_in(rules, host, path, RequestTraits());
  return match_request_in(rules, host, path, traits_from_headers(head, host));
}

void neutralise_popups_in(const RuleList& rules, char* piece, const char* host) {
  int count = neutralise_popups_quietly(rules, piece, host);
  for (int i = 0; i < count; ++i) log_activity("Blocked Popup: %s", host);
}

void neutralise_popups(char* piece, const char* host) {
  neutralise_popups_in(current_rules(), piece, host);
}
