// Reading the ad definitions file for the Ad Definitions page, decoding the
// text the page submits, and writing the file back.
//
// A save replaces the file in one step (a new file renamed over the old), so
// a reader or a rule load never sees a half-written file. All functions are
// safe from several threads at once; they keep no state.
#pragma once

#include <string>
#include <string_view>

// The most characters of the file shown on the page.
constexpr std::size_t DEFINITIONS_TEXT_LIMIT = 32767;

// The file's first DEFINITIONS_TEXT_LIMIT characters read as text (CR LF as
// LF); empty when the file cannot be opened. *whole, when given, tells
// whether that was all of the file.
std::string read_definitions_text(const char* file_name, bool* whole = nullptr);

// The text a form value stands for: "+" is a blank, "%" and two hexadecimal
// digits (either case) one byte; a "%" without two digits after it is kept as
// it stands. The text ends at the first zero byte, and each CR LF pair (a text
// area's line end) becomes one LF.
std::string decode_form_text(std::string_view value);

// Decodes `value` and replaces "Vellomar.ini" with it, written as text (LF as
// CR LF). A file that cannot be replaced stays as it was.
void write_definitions_text(const char* value);

// The byte a pair of hexadecimal digits stands for ("4", "1" gives 0x41);
// digits may be upper or lower case. -1 when either is not a hexadecimal digit.
int decode_hex_pair(char high, char low);
