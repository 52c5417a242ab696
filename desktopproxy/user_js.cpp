#include "desktopproxy/user_js.h"

#include <vector>

#include "text/text_helpers.h"

namespace desktopproxy {
namespace {

constexpr std::string_view BEGIN_MARK = "// >>> Vellomar proxy settings";
constexpr std::string_view BEGIN_TEXT =
    "// >>> Vellomar proxy settings: written by Vellomar, removed when it is switched off";
// Said on the begin line when the user's last line had no line break, so that
// removing the block takes the one Vellomar added away again.
constexpr std::string_view JOINED_TEXT = " (added a line break)";
constexpr std::string_view END_TEXT = "// <<< Vellomar proxy settings";
constexpr std::string_view SAVED_TEXT = "// saved: ";
constexpr std::string_view UNSET_TEXT = "// unset before: ";

// The values the block sets, and each preference's default in Firefox.
constexpr std::array<std::string_view, PROXY_PREF_COUNT> PROXY_VALUES = {
    "\"127.0.0.1\"", "8000", "\"127.0.0.1\"", "8000", "1"};
constexpr std::array<std::string_view, PROXY_PREF_COUNT> DEFAULT_VALUES = {"\"\"", "0", "\"\"", "0",
                                                                           "5"};

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The preference a user_pref line sets: its index in PROXY_PREFS, or -1.
int proxy_pref_of(std::string_view line) {
  line = trimmed(line);
  constexpr std::string_view OPEN = "user_pref(\"";
  if (line.substr(0, OPEN.size()) != OPEN) return -1;
  line.remove_prefix(OPEN.size());
  for (std::size_t i = 0; i < PROXY_PREF_COUNT; ++i) {
    if (line.size() > PROXY_PREFS[i].size() &&
        line.substr(0, PROXY_PREFS[i].size()) == PROXY_PREFS[i] &&
        line[PROXY_PREFS[i].size()] == '"') {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string pref_line(std::size_t index, std::string_view value) {
  std::string line = "user_pref(\"";
  line.append(PROXY_PREFS[index]).append("\", ").append(value).append(");");
  return line;
}

// The value of a user_pref line with blanks taken out, for comparing lines
// that differ only in spacing.
std::string squeezed(std::string_view line) {
  std::string out;
  for (char c : trimmed(line)) {
    if (c != ' ' && c != '\t') out.push_back(c);
  }
  return out;
}

bool is_begin(std::string_view line) {
  return line.substr(0, BEGIN_MARK.size()) == BEGIN_MARK;
}
bool is_end(std::string_view line) {
  return trimmed(line) == END_TEXT;
}

// A line that may belong to a block whose end marker was lost.
bool looks_like_block_line(std::string_view line) {
  return line.substr(0, SAVED_TEXT.size()) == SAVED_TEXT ||
         line.substr(0, UNSET_TEXT.size()) == UNSET_TEXT || proxy_pref_of(line) >= 0;
}

std::string_view line_ending_of(std::string_view text) {
  std::size_t lf = text.find('\n');
  return lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

// Appends the block's framing and saved lines around `body` lines.
std::string with_block(std::string_view user_js, const SavedPrefs& saved,
                       const std::array<std::string, PROXY_PREF_COUNT>& body) {
  std::string text = without_blocks(user_js);
  const std::string_view eol = line_ending_of(text.empty() ? user_js : text);
  const bool joined = !text.empty() && text.back() != '\n';
  if (joined) text.append(eol);
  text.append(BEGIN_TEXT);
  if (joined) text.append(JOINED_TEXT);
  text.append(eol);
  for (std::size_t i = 0; i < PROXY_PREF_COUNT; ++i) {
    if (saved[i]) {
      text.append(SAVED_TEXT).append(*saved[i]).append(eol);
    } else {
      text.append(UNSET_TEXT).append(PROXY_PREFS[i]).append(eol);
    }
  }
  for (const std::string& line : body) text.append(line).append(eol);
  text.append(END_TEXT).append(eol);
  return text;
}

}  // namespace

SavedPrefs prefs_lines_of(std::string_view prefs_js) {
  SavedPrefs lines;
  for (const TextLine& line : text_lines(prefs_js)) {
    int index = proxy_pref_of(line.body);
    if (index >= 0) lines[static_cast<std::size_t>(index)] = std::string(trimmed(line.body));
  }
  return lines;
}

std::optional<SavedPrefs> saved_prefs_in(std::string_view user_js) {
  std::vector<TextLine> lines = text_lines(user_js);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!is_begin(lines[i].body)) continue;
    SavedPrefs saved;
    for (std::size_t j = i + 1; j < lines.size() && !is_end(lines[j].body); ++j) {
      std::string_view text = lines[j].body;
      if (text.substr(0, SAVED_TEXT.size()) != SAVED_TEXT) continue;
      text.remove_prefix(SAVED_TEXT.size());
      int index = proxy_pref_of(text);
      if (index >= 0) saved[static_cast<std::size_t>(index)] = std::string(trimmed(text));
    }
    return saved;
  }
  return std::nullopt;
}

std::string without_blocks(std::string_view user_js) {
  std::vector<TextLine> lines = text_lines(user_js);
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!is_begin(lines[i].body)) {
      text.append(lines[i].whole);
      continue;
    }
    const bool joined = lines[i].body.find(JOINED_TEXT) != std::string_view::npos;
    std::size_t j = i + 1;
    while (j < lines.size() && !is_end(lines[j].body)) ++j;
    if (j == lines.size()) {
      // No end marker: take only the lines that can be Vellomar's.
      j = i + 1;
      while (j < lines.size() && looks_like_block_line(lines[j].body)) ++j;
      --j;
    }
    i = j;
    if (joined && !text.empty() && text.back() == '\n') {
      text.pop_back();
      if (!text.empty() && text.back() == '\r') text.pop_back();
    }
  }
  return text;
}

std::string with_proxy_block(std::string_view user_js, const SavedPrefs& saved) {
  std::array<std::string, PROXY_PREF_COUNT> body;
  for (std::size_t i = 0; i < PROXY_PREF_COUNT; ++i) body[i] = pref_line(i, PROXY_VALUES[i]);
  return with_block(user_js, saved, body);
}

std::string with_restore_block(std::string_view user_js, const SavedPrefs& saved) {
  std::array<std::string, PROXY_PREF_COUNT> body;
  for (std::size_t i = 0; i < PROXY_PREF_COUNT; ++i) {
    body[i] = saved[i] ? *saved[i] : pref_line(i, DEFAULT_VALUES[i]);
  }
  return with_block(user_js, saved, body);
}

std::string restored_prefs_js(std::string_view prefs_js, const SavedPrefs& saved) {
  std::array<bool, PROXY_PREF_COUNT> placed{};
  std::array<bool, PROXY_PREF_COUNT> users{};
  std::vector<TextLine> lines = text_lines(prefs_js);
  for (const TextLine& line : lines) {
    int index = proxy_pref_of(line.body);
    if (index < 0) continue;
    const auto i = static_cast<std::size_t>(index);
    users[i] = squeezed(line.body) != squeezed(pref_line(i, PROXY_VALUES[i])) &&
               !(saved[i] && squeezed(line.body) == squeezed(*saved[i]));
  }
  std::string text;
  for (const TextLine& line : lines) {
    int index = proxy_pref_of(line.body);
    const auto i = static_cast<std::size_t>(index);
    if (index < 0 || users[i]) {
      text.append(line.whole);
      continue;
    }
    if (saved[i] && !placed[i]) {
      text.append(*saved[i]).append(line.whole.substr(line.body.size()));
      if (line.whole.size() == line.body.size()) text.append("\n");
    }
    placed[i] = true;
  }
  for (std::size_t i = 0; i < PROXY_PREF_COUNT; ++i) {
    if (placed[i] || users[i] || !saved[i]) continue;
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
    text.append(*saved[i]).append("\n");
  }
  return text;
}

}  // namespace desktopproxy
