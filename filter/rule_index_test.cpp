// The index gives the verdict of the first matching rule in list order,
// exactly as walking the list does: checked over random lists and requests
// drawn from a small alphabet, so that texts overlap, repeat and nest often.
#include "filter/rule_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "filter/matcher.h"
#include "filter/popup_neutraliser.h"

namespace {

class RandomRules {
 public:
  RandomRules(unsigned seed, std::size_t shortest_text, std::size_t longest_text,
              const char* alphabet)
      : random_(seed),
        shortest_text_(shortest_text),
        longest_text_(longest_text),
        alphabet_(alphabet) {}

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

  std::string text(std::size_t max_size, std::size_t min_size = 0) {
    std::string s(min_size + pick(max_size - min_size + 1), ' ');
    for (char& c : s) c = alphabet_[pick(alphabet_.size())];
    return s;
  }

  std::size_t longest_text() const { return longest_text_; }

  AdRule rule() {
    static const char kKinds[] = "AFUNLO";
    static const char* const kOperators[] = {"", "", "$", "<", ">", "N"};
    char kind = kKinds[pick(sizeof kKinds - 1)];
    return {kOperators[pick(std::size(kOperators))] + text(longest_text_, shortest_text_), kind};
  }

  RuleList list(std::size_t size) {
    RuleList list;
    for (std::size_t i = 0; i < size; ++i) list.rules.push_back(rule());
    // Repeat some texts under other kinds and at other places.
    for (std::size_t i = 0; i < size / 4 && !list.rules.empty(); ++i) {
      AdRule copy = list.rules[pick(list.rules.size())];
      copy.kind = "AFUNLO"[pick(6)];
      list.rules.insert(list.rules.begin() + pick(list.rules.size() + 1), copy);
    }
    list.index = build_rule_index(list.rules);
    return list;
  }

 private:
  std::mt19937 random_;
  std::size_t shortest_text_;
  std::size_t longest_text_;
  std::string alphabet_;
};

struct DifferentialCase {
  unsigned seed;
  std::size_t shortest_text;
  std::size_t longest_text;
  const char* alphabet;
  std::size_t list_size;
  int lists;
  int requests_per_list;
};

std::ostream& operator<<(std::ostream& out, const DifferentialCase& c) {
  return out << "seed " << c.seed << ", texts of " << c.shortest_text << " to " << c.longest_text
             << " of \"" << c.alphabet << "\", lists of up to " << c.list_size << " rules";
}

class RuleIndexDifferential : public ::testing::TestWithParam<DifferentialCase> {};

TEST_P(RuleIndexDifferential, AgreesWithTheWalk) {
  const DifferentialCase& c = GetParam();
  RandomRules random(c.seed, c.shortest_text, c.longest_text, c.alphabet);
  int differences = 0;
  for (int l = 0; l < c.lists; ++l) {
    RuleList indexed = random.list(1 + random.pick(c.list_size));
    RuleList plain;
    plain.rules = indexed.rules;
    // first_match_before against a walk of the rules before a limit.
    const std::size_t limit = random.pick(plain.rules.size() + 1);
    RuleList before_limit;
    before_limit.rules.assign(plain.rules.begin(),
                              plain.rules.begin() + static_cast<std::ptrdiff_t>(limit));
    for (int r = 0; r < c.requests_per_list; ++r) {
      std::string host = random.text(c.longest_text + 2);
      std::string path = random.text(c.longest_text * 2);
      const Verdict expected = first_rule_verdict_linear(plain, host.c_str(), path.c_str());
      const Verdict got = first_rule_verdict(indexed, host.c_str(), path.c_str());
      if (got != expected && ++differences <= 5) {
        ADD_FAILURE() << "host '" << host << "' path '" << path << "': index "
                      << static_cast<int>(got) << ", walk " << static_cast<int>(expected);
      }
      const bool walked_before =
          first_rule_verdict_linear(before_limit, host.c_str(), path.c_str()) != VERDICT_PASS;
      const bool found_before =
          indexed.index->first_match_before(host.data(), host.size(), path.data(), path.size(),
                                            limit) < limit;
      if (walked_before != found_before && ++differences <= 5) {
        ADD_FAILURE() << "host '" << host << "' path '" << path << "': rules before " << limit
                      << " differ";
      }
      char walked[] = "onunload window.open";
      char looked_up[] = "onunload window.open";
      int walked_count = neutralise_popups_quietly(plain, walked, host.c_str());
      int looked_up_count = neutralise_popups_quietly(indexed, looked_up, host.c_str());
      if ((walked_count != looked_up_count || std::string(walked) != looked_up) &&
          ++differences <= 5) {
        ADD_FAILURE() << "pop-ups for host '" << host << "' differ";
      }
    }
  }
  EXPECT_EQ(differences, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RuleIndexDifferential,
                         ::testing::Values(DifferentialCase{1, 0, 5, "abN./", 4, 2000, 20},
                                           DifferentialCase{2, 0, 5, "abN./", 30, 500, 100},
                                           DifferentialCase{3, 0, 5, "abN./", 300, 100, 400},
                                           DifferentialCase{4, 0, 5, "abN./", 3000, 10, 4000},
                                           // Long texts cross the look-ups' checkpoints and
                                           // anchor sizes; two letters make them overlap.
                                           DifferentialCase{5, 0, 40, "ab", 30, 500, 100},
                                           DifferentialCase{6, 0, 40, "aN", 300, 100, 400},
                                           DifferentialCase{7, 0, 20, "abc", 3000, 10, 4000},
                                           // Texts of one or two lengths: long chains under
                                           // one key and one anchor, every anchor beginning
                                           // with the same few pairs of bytes.
                                           DifferentialCase{8, 8, 9, "ab", 3000, 10, 2000},
                                           DifferentialCase{9, 4, 5, "ab/", 3000, 10, 2000},
                                           // Large lists whose tables outgrow the near caches,
                                           // with texts found across the host and path joint.
                                           DifferentialCase{10, 6, 14, "ab./0", 10000, 2, 1500}));

// Texts longer than a definitions line can give, and targets longer than any
// text, still agree.
TEST(RuleIndexLongTexts, AgreeWithTheWalk) {
  std::string long_text(400, 'a');
  RuleList indexed;
  indexed.rules = {{long_text, 'A'},
                   {"<" + long_text + "b", 'F'},
                   {">b" + long_text, 'U'},
                   {"$" + long_text + "c", 'U'}};
  indexed.index = build_rule_index(indexed.rules);
  RuleList plain;
  plain.rules = indexed.rules;
  for (const std::string& host : {long_text, long_text + "a", std::string("x")}) {
    for (const std::string& path :
         {"/" + long_text + "b", long_text + "b", long_text + "c", std::string("/x")}) {
      EXPECT_EQ(first_rule_verdict(indexed, host.c_str(), path.c_str()),
                first_rule_verdict_linear(plain, host.c_str(), path.c_str()))
          << host.size() << " " << path;
    }
  }
}

}  // namespace
