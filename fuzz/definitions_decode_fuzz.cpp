// Fuzzes the decoding of the Ad Definitions page's submitted text against a
// plain model: "+" is a blank, "%" and two hexadecimal digits one byte, any
// other "%" kept as it stands, the text ends at the first zero byte, and
// each CR LF pair becomes one LF. Decoding never makes a text longer, and
// every hexadecimal pair reads back as its byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "setupweb/definitions.h"

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string model_decode(std::string_view value) {
  std::string decoded;
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && i + 2 < value.size() && hex_digit(value[i + 1]) >= 0 &&
               hex_digit(value[i + 2]) >= 0) {
      c = static_cast<char>(hex_digit(value[i + 1]) * 16 + hex_digit(value[i + 2]));
      i += 2;
    }
    decoded.push_back(c);
  }
  decoded = decoded.substr(0, decoded.find('\0'));
  std::string text;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    if (decoded[i] == '\r' && i + 1 < decoded.size() && decoded[i + 1] == '\n') continue;
    text.push_back(decoded[i]);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const std::string text = decode_form_text(value);
  FUZZ_CHECK(text.size() <= value.size());
  FUZZ_CHECK(text.find('\0') == std::string::npos);
  FUZZ_CHECK(text == model_decode(value));

  if (size >= 2) {
    const int byte = decode_hex_pair(value[0], value[1]);
    const int high = hex_digit(value[0]), low = hex_digit(value[1]);
    FUZZ_CHECK(byte == (high < 0 || low < 0 ? -1 : high * 16 + low));
  }
  return 0;
}
