// Turning a published ad list (Adblock-style rules, or a hosts file) into
// lines of the ad definitions language, conservatively: a converted rule never
// blocks a request that the original rule would let pass.
//
// What a list needs beyond that language is written in comment lines that
// only the list loader reads (filter/imported_list.h): "#@" exceptions,
// "#3" rules limited to third-party requests, and "S" lines (host-and-path
// prefixes for the subdomains of a host). Everything that cannot be said
// is counted in the report, by reason, with the lines themselves.
//
// Pure functions over text: no files, no state; safe from any thread.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adlists {

// A list larger than this is refused rather than converted.
constexpr std::size_t MAX_LIST_BYTES = 32u * 1024 * 1024;
// Longest rule text written; longer rules are skipped (the loader reads
// definitions lines in pieces of at most 253 characters).
constexpr std::size_t MAX_RULE_TEXT = 240;
// Lifetime assumed when the list names none ("! Expires:").
constexpr long DEFAULT_EXPIRES_SECONDS = 4L * 24 * 3600;

enum class ListFormat { ADBLOCK, HOSTS };

struct ConversionReport {
  std::size_t exact = 0;         // network rules said exactly
  std::size_t approximated = 0;  // said narrower than written (or, for exceptions, wider)
  std::size_t skipped = 0;       // network rules not converted
  std::size_t cosmetic = 0;      // element-hiding and scriptlet rules (never converted)
  std::map<std::string, std::size_t> approximated_by_reason;
  // Reason -> the original lines.
  std::map<std::string, std::vector<std::string>> skipped_by_reason;
};

struct ConvertedList {
  ListFormat format = ListFormat::ADBLOCK;
  std::string title;  // "! Title:" of the list, if any
  long expires_seconds = DEFAULT_EXPIRES_SECONDS;
  std::string definitions;  // the converted lines, each ending in LF
  std::size_t definition_lines = 0;
  ConversionReport report;
};

// Converts the whole text of a list. Returns nothing and sets `error` (a
// sentence for the user) when the text is not a list: binary data, an HTML
// page, text in neither format, too large, or without a single usable rule.
std::optional<ConvertedList> convert_list(std::string_view text, std::string* error);

// The report as printed by "vmlists report": counts, then each reason with
// its lines.
std::string format_report(const ConversionReport& report);

// "! Expires: 4 days (update frequency)" -> seconds; nothing when the value
// cannot be read. Hours and days are understood.
std::optional<long> parse_expires(std::string_view value);

}  // namespace adlists
