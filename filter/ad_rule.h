// The rule types of the ad definitions file: one rule, and a list of them
// with its index. Types only; filter/rule_list.h publishes the list in force,
// filter/definitions_parser.h builds lists from the file's text.
//
// A RuleList is immutable once published: any number of threads may read it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Longest piece of a line read at once; a longer line continues as the next
// line. A rule text is therefore at most DEFINITION_PIECE_SIZE - 1 characters.
constexpr std::size_t DEFINITION_PIECE_SIZE = 253;

struct AdRule {
  std::string text;  // the line after its kind letter, operator included
  char kind;         // 'A', 'F', 'L', 'N', 'O' or 'U'
};

struct ImportedList;
class RuleIndex;

struct RuleList {
  // In list order: the last rule line of the file first.
  std::vector<AdRule> rules;
  // Look-up structures over `rules` (filter/rule_index.h) that give the same
  // verdicts as walking them; none means the matcher walks the list. Built
  // once the rules are final, and never changed afterwards.
  std::shared_ptr<const RuleIndex> index;
  // The converted lists of the installation's "Lists" folder
  // (filter/imported_list.h), asked after `rules` when none of them matched.
  std::vector<std::shared_ptr<const ImportedList>> imported;
};
