// Small text rules several floors share: the leading-digits rule numbers are
// read by, hex digits, HTML escaping, ASCII case folding and trimming a line. Only ASCII
// letters fold; every other byte stands for itself.
//
// Pure functions without state: safe from any thread. Nothing here allocates
// except escape_html, which returns a new string; the small ones are inline
// because the matcher and the neutraliser call them per byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The leading-digits rule (as atoi reads): leading blanks (space, \t \n \v \f
// \r) skipped, an optional sign, then digits up to the first other
// character; no digits give 0. A value beyond int saturates at INT_MAX or
// INT_MIN instead of overflowing.
int leading_number(std::string_view text);

// The value of a hex digit (either case), or -1 for any other character.
constexpr int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An ASCII capital letter as its small letter; any other byte unchanged.
constexpr char fold_case(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Whether `text` starts with `prefix`, letters folded on both sides.
constexpr bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (fold_case(text[i]) != fold_case(prefix[i])) return false;
  }
  return true;
}

// Whether a and b are equal once their letters are folded.
constexpr bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && starts_with_ignoring_case(a, b);
}

// Whether `text` ends with `lower_suffix`, which must be written in small
// letters already (only the text is folded: the matcher's hot path). Inline
// for the same reason.
constexpr bool ends_with_ignoring_case(std::string_view text, std::string_view lower_suffix) {
  if (lower_suffix.size() > text.size()) return false;
  const std::size_t from = text.size() - lower_suffix.size();
  for (std::size_t i = 0; i < lower_suffix.size(); ++i) {
    if (fold_case(text[from + i]) != lower_suffix[i]) return false;
  }
  return true;
}

// A line of a configuration file for reading its keys and values: blanks
// (space, tab) cut from both ends, and carriage returns from the end too, so
// that a file with CR LF line ends reads as one with LF.
constexpr std::string_view trim_line(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// One line of a text, as two views into it: the whole line with its line
// break (LF, when it has one), and its body without that break or a CR just
// before it.
struct TextLine {
  std::string_view whole;
  std::string_view body;
};

// The lines of `text` in order: a last line without a break counts, an empty
// text has none. The views point into `text`, which must outlive them.
std::vector<TextLine> text_lines(std::string_view text);

// The markup escape of one character: & < > always, the double quote only
// with `quotes`; null when the character stands for itself.
constexpr const char* html_escape_of(char c, bool quotes) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return quotes ? "&quot;" : nullptr;
    default:
      return nullptr;
  }
}

// `text` with every character escaped by html_escape_of. Stops at the first
// zero byte, as the text would in a C string.
std::string escape_html(std::string_view text, bool quotes);
