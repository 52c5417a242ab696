// Reading request lines without scanf: the same words, but no limit on what
// follows them and no reliance on a terminating zero for the body.
#include "proxy/request_line.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A cursor over the text part of a piece (up to its first zero byte).
struct Scanner {
  std::string_view text;
  std::size_t at = 0;

  void skip_blanks() {
    while (at < text.size() && is_blank(text[at])) ++at;
  }
  // A "%s" word: blanks skipped first, then at least one non-blank byte.
  bool word(std::string_view* out) {
    skip_blanks();
    const std::size_t start = at;
    while (at < text.size() && !is_blank(text[at])) ++at;
    *out = text.substr(start, at - start);
    return at > start;
  }
  bool literal(std::string_view expected) {
    if (text.substr(at, expected.size()) != expected) return false;
    at += expected.size();
    return true;
  }
};

constexpr std::string_view kConnect = "CONNECT";
constexpr std::string_view kHttpScheme = "http://";

}  // namespace

RequestLine parse_request_line(std::string_view piece) {
  RequestLine line;
  Scanner scan{piece.substr(0, piece.find('\0'))};

  if (piece.substr(0, kConnect.size()) == kConnect) {
    std::string_view version;
    if (scan.word(&line.method) && scan.word(&line.host) && scan.word(&version)) {
      line.kind = RequestKind::TUNNEL;
    } else {
      line = RequestLine{};
    }
    return line;
  }

  std::string_view host_and_path;
  if (!scan.word(&line.method)) return RequestLine{};
  scan.skip_blanks();
  if (!scan.literal(kHttpScheme)) return RequestLine{};
  if (!scan.word(&host_and_path)) return RequestLine{};
  // Something must follow the host-and-path before the text ends.
  if (scan.at >= scan.text.size()) return RequestLine{};
  const std::size_t slash = host_and_path.find('/');
  if (slash == std::string_view::npos) return RequestLine{};

  line.kind = RequestKind::PLAIN;
  line.host = host_and_path.substr(0, slash);
  line.path = host_and_path.substr(slash);
  line.rest = piece.substr(scan.at);
  return line;
}

int port_of_host(std::string_view host, std::size_t* bare_host_length) {
  const std::size_t colon = host.find(':');
  if (colon == std::string_view::npos) {
    *bare_host_length = host.size();
    return DEFAULT_HTTP_PORT;
  }
  *bare_host_length = colon;
  const std::string_view digits = host.substr(colon + 1);
  if (digits.empty()) return INVALID_PORT;
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return INVALID_PORT;
    value = value * 10 + (c - '0');
    if (value > LARGEST_PORT) return INVALID_PORT;
  }
  return value == 0 ? INVALID_PORT : value;
}
