// A text made of two parts read one after the other, without joining them.
//
// The matcher tests rules of kinds U and N against the request's host
// immediately followed by its path. Rather than copying both into one buffer
// (whose size would have to bound the request), the tests below walk the two
// parts in place. Views only: the caller keeps both parts alive.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

struct SplitText {
  const char* head;
  std::size_t head_size;
  const char* tail;
  std::size_t tail_size;

  std::size_t size() const { return head_size + tail_size; }
};

inline SplitText whole_text(const char* text, std::size_t size) {
  return {text, size, "", 0};
}

// The text equals the `size` bytes of `s`.
inline bool split_equals(const SplitText& t, const char* s, std::size_t size) {
  return size == t.size() && std::memcmp(t.head, s, t.head_size) == 0 &&
         std::memcmp(t.tail, s + t.head_size, t.tail_size) == 0;
}

// The text begins with the `size` bytes of `s`.
inline bool split_starts_with(const SplitText& t, const char* s, std::size_t size) {
  if (size > t.size()) return false;
  if (size <= t.head_size) return std::memcmp(t.head, s, size) == 0;
  return std::memcmp(t.head, s, t.head_size) == 0 &&
         std::memcmp(t.tail, s + t.head_size, size - t.head_size) == 0;
}

// The text ends with the `size` bytes of `s`.
inline bool split_ends_with(const SplitText& t, const char* s, std::size_t size) {
  if (size > t.size()) return false;
  if (size <= t.tail_size) return std::memcmp(t.tail + t.tail_size - size, s, size) == 0;
  std::size_t from_head = size - t.tail_size;
  return std::memcmp(t.head + t.head_size - from_head, s, from_head) == 0 &&
         std::memcmp(t.tail, s + from_head, t.tail_size) == 0;
}

// Bytes [start, start + size) of the text equal the `size` bytes of `s`.
inline bool split_equals_at(const SplitText& t, std::size_t start, const char* s,
                            std::size_t size) {
  if (start > t.size() || size > t.size() - start) return false;
  std::size_t end = start + size;
  if (end <= t.head_size) return std::memcmp(t.head + start, s, size) == 0;
  if (start >= t.head_size) return std::memcmp(t.tail + (start - t.head_size), s, size) == 0;
  std::size_t from_head = t.head_size - start;
  return std::memcmp(t.head + start, s, from_head) == 0 &&
         std::memcmp(t.tail, s + from_head, size - from_head) == 0;
}

// The `size` bytes of `s` occur somewhere in the text, possibly across the
// joint of the two parts.
inline bool split_contains(const SplitText& t, const char* s, std::size_t size) {
  if (size == 0) return true;
  if (size > t.size()) return false;
  if (size <= t.head_size && memmem(t.head, t.head_size, s, size) != nullptr) return true;
  if (size <= t.tail_size && memmem(t.tail, t.tail_size, s, size) != nullptr) return true;
  // Occurrences that start in the head and end in the tail: `k` bytes from
  // the head, the rest from the tail.
  std::size_t max_k = size - 1 < t.head_size ? size - 1 : t.head_size;
  for (std::size_t k = max_k; k >= 1; --k) {
    if (size - k > t.tail_size) break;
    if (std::memcmp(t.head + t.head_size - k, s, k) == 0 &&
        std::memcmp(t.tail, s + k, size - k) == 0) {
      return true;
    }
  }
  return false;
}

// Whether a rule text holds for a target, by its first character: "$" the
// rest occurs in it, "<" it begins with the rest, ">" it ends with the rest,
// anything else (an empty text included) the whole text equals it.
inline bool rule_text_matches(const std::string& text, const SplitText& target) {
  if (text.empty()) return target.size() == 0;
  const char* rest = text.data() + 1;
  const std::size_t rest_size = text.size() - 1;
  switch (text[0]) {
    case '$':
      return split_contains(target, rest, rest_size);
    case '<':
      return split_starts_with(target, rest, rest_size);
    case '>':
      return split_ends_with(target, rest, rest_size);
    default:
      return split_equals(target, text.data(), text.size());
  }
}
