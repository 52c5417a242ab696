// Cutting an ad definitions file into lines and classifying each line by its
// first character.
#include "filter/definitions_parser.h"

#include <climits>

#include "filter/rule_index.h"
#include "text/text_helpers.h"

namespace {

bool is_rule_kind(char c) {
  return c == 'A' || c == 'F' || c == 'U' || c == 'N' || c == 'L' || c == 'O';
}

void classify_piece(std::string_view piece, DefinitionSink& sink) {
  // Texts are handled as terminated strings elsewhere: a zero byte ends the
  // piece.
  piece = piece.substr(0, piece.find('\0'));
  if (piece.empty()) return;
  char first = piece[0];
  if (first == '\r' || first == '\n' || first == ' ' || first == '#') return;
  if (first == 'P') {
    std::string_view rest = piece.substr(1);
    std::size_t colon = rest.find(':');
    ProxyLine line;
    line.host = std::string(rest.substr(0, colon));
    line.port = colon == std::string_view::npos ? DEFAULT_PROXY_LINE_PORT
                                                : leading_number(rest.substr(colon + 1));
    sink.proxy_line(line);
    return;
  }
  if (is_rule_kind(first)) {
    sink.rule(first, piece.substr(1));
    return;
  }
  sink.bad_line(piece);
}

class CollectingSink : public DefinitionSink {
 public:
  CollectingSink(std::vector<ProxyLine>* proxy_lines, std::vector<std::string>* bad_lines)
      : proxy_lines_(proxy_lines), bad_lines_(bad_lines) {}
  void rule(char kind, std::string_view text) override {
    rules.push_back(AdRule{std::string(text), kind});
  }
  void proxy_line(const ProxyLine& line) override {
    if (proxy_lines_ != nullptr) proxy_lines_->push_back(line);
  }
  void bad_line(std::string_view line) override {
    if (bad_lines_ != nullptr) bad_lines_->emplace_back(line);
  }
  std::vector<AdRule> rules;

 private:
  std::vector<ProxyLine>* proxy_lines_;
  std::vector<std::string>* bad_lines_;
};

}  // namespace

void scan_ad_definitions(std::string_view file_text, DefinitionSink& sink) {
  std::size_t pos = 0;
  while (pos < file_text.size()) {
    std::size_t line_feed = file_text.find('\n', pos);
    std::size_t end = line_feed == std::string_view::npos ? file_text.size() : line_feed;
    std::string_view line = file_text.substr(pos, end - pos);
    pos = line_feed == std::string_view::npos ? file_text.size() : line_feed + 1;
    // A file saved with CR CR LF line ends reads as lines ending in CR; a
    // rule text ending in CR would never match anything, so one CR right
    // before the line end is not part of the line.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // A long line is read in pieces; each piece counts as a line of its own.
    for (std::size_t offset = 0; offset < line.size(); offset += DEFINITION_PIECE_SIZE) {
      classify_piece(line.substr(offset, DEFINITION_PIECE_SIZE), sink);
    }
  }
}

std::vector<AdRule> rules_in_list_order(std::vector<AdRule>&& file_rules,
                                        const std::vector<AdRule>& base) {
  std::vector<AdRule> rules;
  rules.reserve(file_rules.size() + base.size());
  for (auto it = file_rules.rbegin(); it != file_rules.rend(); ++it)
    rules.push_back(std::move(*it));
  rules.insert(rules.end(), base.begin(), base.end());
  return rules;
}

std::shared_ptr<RuleList> parse_ad_definitions(const std::string& file_text,
                                               std::vector<ProxyLine>* proxy_lines,
                                               std::vector<std::string>* bad_lines) {
  CollectingSink sink(proxy_lines, bad_lines);
  scan_ad_definitions(file_text, sink);
  auto list = std::make_shared<RuleList>();
  list->rules = rules_in_list_order(std::move(sink.rules), {});
  list->index = build_rule_index(list->rules);
  return list;
}
