// Look-up structures over a rule list that give the verdict of the first
// matching rule without walking the list.
//
// For each target (host for A, L and O rules, path for F, host and path for
// U and N) the rules are split by operator: whole texts, "<" texts and ">"
// texts go into a hash table probed with the hash of each of the target's
// prefixes and suffixes, "$" texts are found through a rare run of bytes in
// each (or, when short or alike, by an Aho-Corasick automaton), and texts of
// an operator alone are always true. Every entry carries the list position of
// its rule, and a query takes the smallest position among all that match, so
// the verdict is exactly the one the walk in list order would give.
//
// An index is built once from a finished list and never changed; queries
// allocate nothing and are safe from any number of threads at once. It holds
// its own copies of the texts, so it does not depend on the list's storage.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "filter/ad_rule.h"
#include "filter/verdict.h"

class RuleIndex {
 public:
  explicit RuleIndex(const std::vector<AdRule>& rules);
  ~RuleIndex();
  RuleIndex(const RuleIndex&) = delete;
  RuleIndex& operator=(const RuleIndex&) = delete;

  // The verdict of the first rule of kind A, F, U or N whose test holds for
  // the host and path; VERDICT_PASS when none does.
  Verdict match(const char* host, std::size_t host_size, const char* path,
                std::size_t path_size) const;

  // The position (in the rules it was built from) of the first rule of kind
  // A, F, U or N before `limit` whose test holds; `limit` when none does. One
  // index over two lists one after the other answers for the first alone or
  // for both, at the cost of one query.
  std::size_t first_match_before(const char* host, std::size_t host_size, const char* path,
                                 std::size_t path_size, std::size_t limit) const;

  // Which pop-up kinds apply to a reply from `host`: bit POPUP_ONUNLOAD when
  // an L rule matches it, bit POPUP_WINDOW_OPEN when an O rule does.
  unsigned popup_kinds(const char* host, std::size_t host_size) const;

  struct Tables;

 private:
  std::unique_ptr<Tables> tables_;
};

constexpr unsigned POPUP_ONUNLOAD = 1;
constexpr unsigned POPUP_WINDOW_OPEN = 2;

// Builds the index for `rules` (in list order). May throw std::bad_alloc.
std::shared_ptr<const RuleIndex> build_rule_index(const std::vector<AdRule>& rules);
