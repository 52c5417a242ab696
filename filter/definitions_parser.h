// The line rules of the ad definitions file, apart from any file, registry
// or log, so that they can be tested and reused on their own.
//
// scan_ad_definitions cuts a file's text into lines and pieces and reports
// each piece, in file order, to a sink. It keeps no state and is safe from
// any number of threads at once; exceptions thrown by the sink pass through.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/ad_rule.h"

// A "P" line: the upstream proxy it names.
struct ProxyLine {
  std::string host;
  int port;
};

// Port used by a "P" line without a colon.
constexpr int DEFAULT_PROXY_LINE_PORT = 8000;

class DefinitionSink {
 public:
  virtual ~DefinitionSink() = default;
  // A rule line: its kind letter and the text after it.
  virtual void rule(char kind, std::string_view text) = 0;
  // A "P" line.
  virtual void proxy_line(const ProxyLine& line) = 0;
  // A line that is neither a rule, a "P" line nor a comment, whole.
  virtual void bad_line(std::string_view line) = 0;
};

// `file_text` as read in text mode (lines end in LF; the last line may lack
// its LF). Comments are not reported.
void scan_ad_definitions(std::string_view file_text, DefinitionSink& sink);

// Appends `file_rules` (in file order) in front of `base` as a list would hold
// them: the last rule of the file first, then the rules of `base`.
std::vector<AdRule> rules_in_list_order(std::vector<AdRule>&& file_rules,
                                        const std::vector<AdRule>& base);

// Builds an indexed list from the text of a definitions file (as read in text
// mode: lines end in LF) without publishing it or touching the upstream proxy;
// "P" lines are returned in `proxy_lines` (host, port) and bad lines, whole and
// without their line end, in `bad_lines`, each in file order (either may be
// null). Used by tests and tools; the loader uses scan_ad_definitions to act
// on lines in file order.
std::shared_ptr<RuleList> parse_ad_definitions(const std::string& file_text,
                                               std::vector<ProxyLine>* proxy_lines,
                                               std::vector<std::string>* bad_lines = nullptr);
