// Fuzzes the definitions loader (parse_ad_definitions) with arbitrary file
// text and checks what every rule list must satisfy: only the six rule kinds,
// no text longer than a piece allows, no line end inside a text, no rule or
// proxy line made from nothing, and the same list from the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "filter/rule_list.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<ProxyLine> proxy_lines;
  const auto list = parse_ad_definitions(text, &proxy_lines);
  FUZZ_CHECK(list != nullptr);

  // Every rule and every proxy line starts a piece of at least one byte, so
  // together they cannot outnumber the bytes.
  FUZZ_CHECK(list->rules.size() + proxy_lines.size() <= size);
  for (const AdRule& rule : list->rules) {
    FUZZ_CHECK(rule.kind == 'A' || rule.kind == 'F' || rule.kind == 'L' || rule.kind == 'N' ||
               rule.kind == 'O' || rule.kind == 'U');
    FUZZ_CHECK(rule.text.size() <= DEFINITION_PIECE_SIZE - 1);
    FUZZ_CHECK(rule.text.find('\n') == std::string::npos);
    // A rule's text is a stretch of the file after its kind letter.
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
  return 0;
}
