// The shared text rules that are not small enough to live in the header.
#include "text/text_helpers.h"

#include <climits>

namespace {

bool is_blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

int leading_number(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && is_blank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  // Past INT_MAX + 1 further digits only keep the value saturated.
  constexpr long long limit = static_cast<long long>(INT_MAX) + 1;
  long long value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (value < limit) value = value * 10 + (text[at] - '0');
  }
  if (negative) return value >= limit ? INT_MIN : static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

std::string escape_html(std::string_view text, bool quotes) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\0') break;
    const char* escaped = html_escape_of(c, quotes);
    if (escaped != nullptr) {
      out.append(escaped);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<TextLine> text_lines(std::string_view text) {
  std::vector<TextLine> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t lf = text.find('\n', start);
    const std::size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    std::string_view body =
        text.substr(start, (lf == std::string_view::npos ? text.size() : lf) - start);
    if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
    lines.push_back({text.substr(start, next - start), body});
    start = next;
  }
  return lines;
}
