// The ad definitions file as the Ad Definitions page sees it: read as text,
// decoded from the submitted form value, and replaced whole on a save.
#include "setupweb/definitions.h"

#include <cstdio>

#include "platform/files.h"
#include "text/text_helpers.h"

int decode_hex_pair(char high, char low) {
  const int h = hex_digit(high);
  const int l = hex_digit(low);
  if (h < 0 || l < 0) return -1;
  return h * 16 + l;
}

std::string read_definitions_text(const char* file_name, bool* whole) {
  std::string text;
  if (whole != nullptr) *whole = true;
  FILE* file = open_file(file_name, "r");
  if (file == nullptr) return text;
  text.resize(DEFINITIONS_TEXT_LIMIT);
  const std::size_t taken = std::fread(text.data(), 1, DEFINITIONS_TEXT_LIMIT, file);
  if (whole != nullptr) *whole = taken < DEFINITIONS_TEXT_LIMIT || std::fgetc(file) == EOF;
  std::fclose(file);
  text.resize(taken);
  return text;
}

std::string decode_form_text(std::string_view value) {
  std::string text;
  text.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && i + 2 < value.size()) {
      // Only a pair that lies wholly inside the value is decoded; anything
      // else is kept as it stands.
      const int byte = decode_hex_pair(value[i + 1], value[i + 2]);
      if (byte >= 0) {
        c = static_cast<char>(byte);
        i += 2;
      }
    }
    // A zero byte ends the text, as the written file would end there.
    if (c == '\0') break;
    // A text area sends its line ends as CR LF; the file keeps one line end.
    if (c == '\n' && !text.empty() && text.back() == '\r') text.pop_back();
    text.push_back(c);
  }
  return text;
}

void write_definitions_text(const char* value) {
  const std::string text = decode_form_text(value);
  // A failed replace leaves the old file; the page then shows it unchanged.
  replace_file("Vellomar.ini", text.data(), text.size(), true);
}
