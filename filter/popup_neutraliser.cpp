// Defusing pop-up script in reply pieces for the hosts that L and O rules
// name.
//
// Occurrences are found by comparing the piece's letters folded to lower case
// in place, so the piece is read once per pattern instead of being copied and
// lowered for every search. Overwriting the first two bytes with "//" can
// neither create an occurrence (neither pattern contains "/") nor leave one
// before it, so carrying on two bytes after each occurrence finds exactly what
// searching again from the start would.
#include "filter/popup_neutraliser.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "filter/ad_rule.h"
#include "filter/matcher.h"
#include "filter/rule_index.h"
#include "filter/split_text.h"
#include "text/text_helpers.h"

namespace {

constexpr char ONUNLOAD_PATTERN[] = "onunload";
constexpr char WINDOW_OPEN_PATTERN[] = "window.open";

bool equals_folded(const char* text, const char* pattern, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (fold_case(text[i]) != pattern[i]) return false;
  }
  return true;
}

// The first occurrence of `pattern` (`size` bytes, not empty) in
// text[0, text_size), letters of the text compared without case.
//
// Sixteen positions at a time are screened by their first and last bytes
// with the 0x20 bit set on both sides: a byte that folds to the pattern's
// byte always passes, so the screen loses nothing, and what passes is
// compared exactly.
char* find_folded(char* text, std::size_t text_size, const char* pattern, std::size_t size) {
  if (size > text_size) return nullptr;
  std::size_t last_start = text_size - size;  // the last position an occurrence may start
  std::size_t at = 0;
#ifdef __SSE2__
  if (size >= 2) {
    const __m128i case_bit = _mm_set1_epi8(0x20);
    const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0] | 0x20));
    const __m128i last = _mm_set1_epi8(static_cast<char>(pattern[size - 1] | 0x20));
    for (; at + 16 <= last_start + 1; at += 16) {
      __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
      __m128i ends = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + size - 1));
      __m128i hits = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(starts, case_bit), first),
                                   _mm_cmpeq_epi8(_mm_or_si128(ends, case_bit), last));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
      while (mask != 0) {
        std::size_t candidate = at + static_cast<std::size_t>(__builtin_ctz(mask));
        if (equals_folded(text + candidate, pattern, size)) return text + candidate;
        mask &= mask - 1;
      }
    }
  }
#endif
  for (; at <= last_start; ++at) {
    if (fold_case(text[at]) == pattern[0] && equals_folded(text + at, pattern, size)) {
      return text + at;
    }
  }
  return nullptr;
}

int overwrite_all(char* piece, std::size_t size, const char* pattern) {
  std::size_t pattern_size = std::strlen(pattern);
  int count = 0;
  char* from = piece;
  while (char* hit = find_folded(from, size - (from - piece), pattern, pattern_size)) {
    hit[0] = '/';
    hit[1] = '/';
    ++count;
    from = hit + 2;
  }
  return count;
}

unsigned popup_kinds_linear(const RuleList& rules, const char* host, std::size_t host_size) {
  unsigned kinds = 0;
  SplitText target = whole_text(host, host_size);
  for (const AdRule& rule : rules.rules) {
    unsigned kind = rule.kind == 'L' ? POPUP_ONUNLOAD : rule.kind == 'O' ? POPUP_WINDOW_OPEN : 0;
    if (kind == 0 || (kinds & kind) != 0) continue;
    if (rule_text_matches(rule.text, target)) {
      kinds |= kind;
      if (kinds == (POPUP_ONUNLOAD | POPUP_WINDOW_OPEN)) break;
    }
  }
  return kinds;
}

}  // namespace

char* find_nocase(char* text, const char* pattern) {
  std::size_t size = std::strlen(pattern);
  if (size == 0) return text;
  return find_folded(text, std::strlen(text), pattern, size);
}

int neutralise_popups_quietly(const RuleList& rules, char* piece, const char* host) {
  if (blocking_off.load(std::memory_order_relaxed) == 1 || rules.rules.empty()) return 0;
  std::size_t host_size = std::strlen(host);
  unsigned kinds = rules.index != nullptr ? rules.index->popup_kinds(host, host_size)
                                          : popup_kinds_linear(rules, host, host_size);
  if (kinds == 0) return 0;
  std::size_t size = std::strlen(piece);
  int count = 0;
  if (kinds & POPUP_ONUNLOAD) count += overwrite_all(piece, size, ONUNLOAD_PATTERN);
  if (kinds & POPUP_WINDOW_OPEN) count += overwrite_all(piece, size, WINDOW_OPEN_PATTERN);
  return count;
}
