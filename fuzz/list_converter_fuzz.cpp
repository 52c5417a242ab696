// Fuzzes the ad list converter and the loader of its output.
//
// The input is the text of a list (Adblock-style or hosts). Checks:
// - every converted line is a rule line of kind A, F or U, or a subdomain
//   rule "S", alone or behind "#@", "#3" or "#", printable ASCII, no longer
//   than the converter promises;
// - the report's counts add up to the lines it lists as skipped;
// - the same text converts to the same output;
// - the list loader reads the output, and asking it about requests made from
//   the converted texts themselves never breaks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "adlists/list_converter.h"
#include "filter/imported_list.h"
#include "filter/matcher.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr std::size_t LINES_PROBED = 16;

void check_line(std::string_view line) {
  std::string_view rule = line;
  // An exception for pages of some sites: a host, one blank, the sites.
  if (rule.substr(0, 3) == "#@H") {
    const std::size_t blank = rule.find(' ');
    FUZZ_CHECK(blank > 3 && blank != std::string_view::npos && blank + 1 < rule.size());
    FUZZ_CHECK(rule.find(' ', blank + 1) == std::string_view::npos);
    FUZZ_CHECK(rule.size() <= adlists::MAX_RULE_TEXT);
    for (char c : rule.substr(blank + 1)) FUZZ_CHECK(c != '~');
    rule = rule.substr(0, blank);
    for (char c : rule) FUZZ_CHECK(c > 0x20 && c < 0x7f);
    return;
  }
  // A rule limited to resource types or to pages of some sites: its types,
  // one blank, its sites, one blank, then a rule line of its own.
  if (rule.substr(0, 2) == "#T") {
    const std::size_t first = rule.find(' ');
    FUZZ_CHECK(first > 2 && first != std::string_view::npos);
    const std::size_t second = rule.find(' ', first + 1);
    FUZZ_CHECK(second > first + 1 && second != std::string_view::npos);
    FUZZ_CHECK(line.size() <= adlists::MAX_RULE_TEXT);
    for (char c : rule.substr(0, second)) FUZZ_CHECK(c == ' ' || (c > 0x20 && c < 0x7f));
    const std::string_view inner = rule.substr(second + 1);
    FUZZ_CHECK(inner.substr(0, 1) != "#");
    check_line(inner);
    return;
  }
  if (rule.size() >= 2 && rule[0] == '#') {
    FUZZ_CHECK(rule[1] == '@' || rule[1] == '3' || rule[1] == 'S');
    rule.remove_prefix(rule[1] == 'S' ? 1 : 2);
  }
  FUZZ_CHECK(!rule.empty());
  FUZZ_CHECK(rule[0] == 'A' || rule[0] == 'F' || rule[0] == 'U' || rule[0] == 'S');
  // A subdomain rule names a host and a path.
  if (rule[0] == 'S') FUZZ_CHECK(rule.find('/') > 1 && rule.find('/') != std::string_view::npos);
  FUZZ_CHECK(rule.size() <= adlists::MAX_RULE_TEXT);
  for (char c : line) FUZZ_CHECK(c > 0x20 && c < 0x7f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto out = adlists::convert_list(text, &error);
  if (!out) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  std::size_t skipped = 0;
  for (const auto& [reason, lines] : out->report.skipped_by_reason) skipped += lines.size();
  FUZZ_CHECK(skipped == out->report.skipped);
  std::size_t approximated = 0;
  for (const auto& [reason, count] : out->report.approximated_by_reason) approximated += count;
  FUZZ_CHECK(approximated == out->report.approximated);

  std::string_view rest = out->definitions;
  std::size_t lines = 0;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    FUZZ_CHECK(end != std::string_view::npos);
    check_line(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    ++lines;
  }
  FUZZ_CHECK(lines == out->definition_lines);

  std::string again_error;
  auto again = adlists::convert_list(text, &again_error);
  FUZZ_CHECK(again && again->definitions == out->definitions);

  auto list = parse_imported_list("fuzz", out->definitions);
  std::vector<std::shared_ptr<const ImportedList>> lists{list};
  rest = out->definitions;
  for (std::size_t i = 0; i < LINES_PROBED && !rest.empty(); ++i) {
    std::string line(rest.substr(0, rest.find('\n')));
    rest.remove_prefix(line.size() + 1);
    if (line.compare(0, 3, "#@H") == 0) line = "A" + line.substr(3, line.find(' ') - 3);
    std::size_t kind_at = line[0] != '#' ? 0 : line[1] == 'S' ? 1 : 2;
    std::string body = line.substr(kind_at + 1);
    if (!body.empty() && (body[0] == '<' || body[0] == '>' || body[0] == '$')) body.erase(0, 1);
    std::size_t slash = body.find('/');
    std::string host = body.substr(0, slash);
    std::string path = slash == std::string::npos ? "/x.gif" : body.substr(slash);
    for (RequestParty party :
         {RequestParty::UNKNOWN, RequestParty::FIRST_PARTY, RequestParty::THIRD_PARTY}) {
      for (std::string_view page : {std::string_view(), std::string_view(host)}) {
        const Verdict verdict = imported_lists_verdict(lists, host.data(), host.size(), path.data(),
                                                       path.size(), party, page);
        FUZZ_CHECK(verdict == VERDICT_PASS || verdict == VERDICT_BLOCK);
      }
    }
  }
  return 0;
}
