// Look-up structures over a rule list (see rule_index.h).
#include "filter/rule_index.h"

#include "filter/matcher.h"

struct RuleIndex::Tables {};

RuleIndex::RuleIndex(const std::vector<AdRule>&) : tables_(std::make_unique<Tables>()) {}
RuleIndex::~RuleIndex() = default;

int RuleIndex::match(const char*, std::size_t, const char*, std::size_t) const {
  return VERDICT_PASS;
}

unsigned RuleIndex::popup_kinds(const char*, std::size_t) const {
  return 0;
}

std::shared_ptr<const RuleIndex> build_rule_index(const std::vector<AdRule>&) {
  return nullptr;
}
