// Fuzzes the definitions loader and what stands on its rule list.
//
// The input holds a host, a path and a reply piece (each a random-length
// string as FuzzedDataProvider cuts them) and then the text of a definitions
// file. Checks:
// - the rule list: only the six rule kinds, no text longer than a piece
//   allows, no line end inside a text, every text a stretch of the file, and
//   the same list from the same text;
// - the matcher's index gives the verdict of the plain walk in list order,
//   for the fuzzed request and for requests made from the rules' own texts
//   (so that rules do match);
// - the pop-up neutraliser through the index overwrites exactly what the
//   plain walk overwrites, keeps the piece's length and writes only "/".
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "filter/definitions_parser.h"
#include "filter/matcher.h"
#include "filter/popup_neutraliser.h"
#include "filter/rule_list.h"
#include "fuzz/fuzz_check.h"

namespace {

// How many rules lend their texts to extra requests per input.
constexpr std::size_t RULES_PROBED = 8;

void check_verdicts(const RuleList& indexed, const RuleList& plain, const std::string& host,
                    const std::string& path) {
  const char* h = host.c_str();
  const char* p = path.c_str();
  FUZZ_CHECK(first_rule_verdict(indexed, h, p) == first_rule_verdict_linear(plain, h, p));
  FUZZ_CHECK(match_request_in(indexed, h, p) == match_request_in(plain, h, p));
}

void check_neutraliser(const RuleList& indexed, const RuleList& plain, const std::string& piece,
                       const std::string& host) {
  std::string a = piece, b = piece;
  const int count_a = neutralise_popups_quietly(indexed, a.data(), host.c_str());
  const int count_b = neutralise_popups_quietly(plain, b.data(), host.c_str());
  FUZZ_CHECK(count_a == count_b);
  FUZZ_CHECK(a == b);
  FUZZ_CHECK(a.size() == piece.size());
  for (std::size_t i = 0; i < a.size(); ++i) FUZZ_CHECK(a[i] == piece[i] || a[i] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string host = provider.ConsumeRandomLengthString(300);
  const std::string path = provider.ConsumeRandomLengthString(600);
  const std::string piece = provider.ConsumeRandomLengthString(4096);
  const std::string text = provider.ConsumeRemainingBytesAsString();

  std::vector<ProxyLine> proxy_lines;
  const auto list = parse_ad_definitions(text, &proxy_lines);
  FUZZ_CHECK(list != nullptr);
  FUZZ_CHECK(list->rules.size() + proxy_lines.size() <= text.size());
  for (const AdRule& rule : list->rules) {
    FUZZ_CHECK(rule.kind == 'A' || rule.kind == 'F' || rule.kind == 'L' || rule.kind == 'N' ||
               rule.kind == 'O' || rule.kind == 'U');
    FUZZ_CHECK(rule.text.size() <= DEFINITION_PIECE_SIZE - 1);
    FUZZ_CHECK(rule.text.find('\n') == std::string::npos);
    FUZZ_CHECK(text.find(std::string(1, rule.kind) + rule.text) != std::string::npos);
  }
  for (const ProxyLine& line : proxy_lines) {
    FUZZ_CHECK(line.host.find('\n') == std::string::npos);
    FUZZ_CHECK(line.host.find(':') == std::string::npos);
    FUZZ_CHECK(text.find("P" + line.host) != std::string::npos);
  }
  std::vector<ProxyLine> again_lines;
  const auto again = parse_ad_definitions(text, &again_lines);
  FUZZ_CHECK(again->rules.size() == list->rules.size());
  for (std::size_t i = 0; i < list->rules.size(); ++i) {
    FUZZ_CHECK(again->rules[i].kind == list->rules[i].kind);
    FUZZ_CHECK(again->rules[i].text == list->rules[i].text);
  }
  FUZZ_CHECK(again_lines.size() == proxy_lines.size());

  // The same rules without an index: matched by walking them in order.
  RuleList plain;
  plain.rules = list->rules;
  blocking_off = 0;
  check_verdicts(*list, plain, host, path);
  for (std::size_t i = 0; i < list->rules.size() && i < RULES_PROBED; ++i) {
    std::string body = list->rules[i].text;
    if (!body.empty() && (body[0] == '$' || body[0] == '<' || body[0] == '>')) body.erase(0, 1);
    const std::size_t slash = body.find('/');
    const std::string rule_host = body.substr(0, slash);
    const std::string rule_path = slash == std::string::npos ? path : body.substr(slash);
    check_verdicts(*list, plain, body, path);
    check_verdicts(*list, plain, host, body);
    check_verdicts(*list, plain, rule_host, rule_path);
    check_verdicts(*list, plain, host + body, path + body);
    check_neutraliser(*list, plain, piece + body, rule_host);
  }
  check_neutraliser(*list, plain, piece, host);
  return 0;
}
