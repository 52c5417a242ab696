// Following request framing byte by byte. Header names are matched against
// the two that frame a body while they stream past, so no line is ever kept;
// the rest of a line that cannot frame anything is skipped to its LF, and
// body and chunk data as counted runs.
#include "proxy/request_framing.h"

#include <cstring>

#include "text/text_helpers.h"

namespace {

constexpr std::string_view kContentLength = "content-length";
constexpr std::string_view kTransferEncoding = "transfer-encoding";
constexpr std::string_view kChunked = "chunked";
constexpr std::uint8_t TOKEN_MISMATCH = 0xFF;
// Lengths and chunk sizes above this are taken for garbage, not for bodies.
constexpr std::uint64_t LARGEST_BODY = std::uint64_t{1} << 56;

}  // namespace

std::size_t RequestFraming::follow_current(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (state_ == State::LOST) return bytes.size();
    if (state_ == State::BODY || state_ == State::CHUNK_DATA) {
      const std::size_t left = bytes.size() - at;
      const std::size_t run = remaining_ < left ? static_cast<std::size_t>(remaining_) : left;
      remaining_ -= run;
      at += run;
      if (remaining_ != 0) continue;
      if (state_ == State::CHUNK_DATA) {
        state_ = State::CHUNK_DATA_END;
        continue;
      }
      state_ = State::REQUEST_START;
      return at;
    }
    if (waits_for_line_end()) {
      // Nothing before the LF can change the framing: find it in one search.
      const void* lf = std::memchr(bytes.data() + at, '\n', bytes.size() - at);
      if (lf == nullptr) return bytes.size();
      at = static_cast<std::size_t>(static_cast<const char*>(lf) - bytes.data());
    }
    const State before = state_;
    step(bytes[at++]);
    if (state_ == State::REQUEST_START && before != State::REQUEST_START) return at;
  }
  return at;
}

bool RequestFraming::waits_for_line_end() const {
  switch (state_) {
    case State::REQUEST_LINE:
    case State::CHUNK_EXTENSION:
    case State::TRAILER:
      return true;
    case State::VALUE:
      return field_ == Field::OTHER;
    case State::NAME:
      // A name that can no longer be either framing header ends its line the
      // same way, colon or not.
      return !name_may_be_length_ && !name_may_be_encoding_;
    default:
      return false;
  }
}

void RequestFraming::follow(std::string_view bytes) {
  while (!bytes.empty()) bytes.remove_prefix(follow_current(bytes));
}

void RequestFraming::step(char c) {
  switch (state_) {
    case State::REQUEST_START:
      // Empty lines before a request line are allowed and skipped.
      if (c == '\r' || c == '\n') return;
      has_length_ = false;
      has_encoding_ = false;
      chunked_ = false;
      state_ = State::REQUEST_LINE;
      return;
    case State::REQUEST_LINE:
      if (c == '\n') state_ = State::LINE_START;
      return;
    case State::LINE_START:
      if (c == '\r') {
        state_ = State::BLANK_LINE;
      } else if (c == '\n') {
        end_header_block();
      } else if (c == ' ' || c == '\t') {
        // A folded continuation of the line before: no framing header may be
        // folded, so it is read as part of some other header.
        field_ = Field::OTHER;
        state_ = State::VALUE;
      } else {
        name_length_ = 0;
        name_may_be_length_ = true;
        name_may_be_encoding_ = true;
        state_ = State::NAME;
        name_byte(c);
      }
      return;
    case State::NAME:
      name_byte(c);
      return;
    case State::VALUE:
      value_byte(c);
      return;
    case State::BLANK_LINE:
      if (c == '\n') {
        end_header_block();
      } else {
        state_ = State::LOST;
      }
      return;
    case State::CHUNK_SIZE: {
      const int digit = hex_digit(c);
      if (digit >= 0) {
        number_ = number_ * 16 + static_cast<std::uint64_t>(digit);
        number_has_digits_ = true;
        if (number_ > LARGEST_BODY) state_ = State::LOST;
      } else if (c == '\n') {
        end_chunk_size_line();
      } else if (number_has_digits_ && (c == ';' || c == ' ' || c == '\t' || c == '\r')) {
        state_ = State::CHUNK_EXTENSION;
      } else {
        state_ = State::LOST;
      }
      return;
    }
    case State::CHUNK_EXTENSION:
      if (c == '\n') end_chunk_size_line();
      return;
    case State::CHUNK_DATA_END:
      if (c == '\n') {
        number_ = 0;
        number_has_digits_ = false;
        state_ = State::CHUNK_SIZE;
      } else if (c != '\r') {
        state_ = State::LOST;
      }
      return;
    case State::TRAILER_START:
      if (c == '\n') {
        state_ = State::REQUEST_START;
      } else if (c != '\r') {
        state_ = State::TRAILER;
      }
      return;
    case State::TRAILER:
      if (c == '\n') state_ = State::TRAILER_START;
      return;
    case State::BODY:
    case State::CHUNK_DATA:
    case State::LOST:
      return;
  }
}

void RequestFraming::name_byte(char c) {
  if (c == ':') {
    field_ = Field::OTHER;
    if (name_may_be_length_ && name_length_ == kContentLength.size()) {
      field_ = Field::CONTENT_LENGTH;
      number_ = 0;
      number_has_digits_ = false;
      number_ended_ = false;
      number_bad_ = false;
    } else if (name_may_be_encoding_ && name_length_ == kTransferEncoding.size()) {
      field_ = Field::TRANSFER_ENCODING;
      has_encoding_ = true;
      token_length_ = 0;
      token_ended_ = false;
    }
    state_ = State::VALUE;
    return;
  }
  if (c == '\n') {  // a line without a colon frames nothing
    state_ = State::LINE_START;
    return;
  }
  const char l = fold_case(c);
  if (name_length_ >= kContentLength.size() || kContentLength[name_length_] != l)
    name_may_be_length_ = false;
  if (name_length_ >= kTransferEncoding.size() || kTransferEncoding[name_length_] != l)
    name_may_be_encoding_ = false;
  if (name_length_ < 0xFF) ++name_length_;
}

void RequestFraming::value_byte(char c) {
  if (c == '\n') {
    end_header_line();
    return;
  }
  const bool blank = c == ' ' || c == '\t' || c == '\r';
  if (field_ == Field::CONTENT_LENGTH) {
    if (blank) {
      if (number_has_digits_) number_ended_ = true;
    } else if (c >= '0' && c <= '9' && !number_ended_) {
      number_ = number_ * 10 + static_cast<std::uint64_t>(c - '0');
      number_has_digits_ = true;
      if (number_ > LARGEST_BODY) number_bad_ = true;
    } else {
      number_bad_ = true;
    }
  } else if (field_ == Field::TRANSFER_ENCODING) {
    if (c == ',') {
      token_length_ = 0;
      token_ended_ = false;
    } else if (blank || c == ';') {
      // Blanks around a coding, or its parameters, end its name.
      if (token_length_ != 0) token_ended_ = true;
    } else if (!token_ended_ && token_length_ < kChunked.size() &&
               kChunked[token_length_] == fold_case(c)) {
      ++token_length_;
    } else {
      token_length_ = TOKEN_MISMATCH;
      token_ended_ = true;
    }
  }
}

void RequestFraming::end_header_line() {
  state_ = State::LINE_START;
  if (field_ == Field::CONTENT_LENGTH) {
    // A length that is no number, or two that differ: where the body ends is
    // unknown, so the rest of the connection is never taken for requests.
    if (number_bad_ || !number_has_digits_ || (has_length_ && length_ != number_)) {
      state_ = State::LOST;
      return;
    }
    has_length_ = true;
    length_ = number_;
  } else if (field_ == Field::TRANSFER_ENCODING) {
    // Only the last coding of the last such line counts; an empty line names
    // none and changes nothing.
    if (token_length_ != 0) chunked_ = token_length_ == kChunked.size();
  }
  field_ = Field::OTHER;
}

void RequestFraming::end_header_block() {
  if (has_encoding_) {
    // A request body whose last coding is not chunked has no length at all.
    state_ = chunked_ ? State::CHUNK_SIZE : State::LOST;
    number_ = 0;
    number_has_digits_ = false;
    return;
  }
  if (has_length_ && length_ > 0) {
    remaining_ = length_;
    state_ = State::BODY;
    return;
  }
  state_ = State::REQUEST_START;
}

void RequestFraming::end_chunk_size_line() {
  if (!number_has_digits_) {
    state_ = State::LOST;
    return;
  }
  if (number_ == 0) {
    state_ = State::TRAILER_START;
    return;
  }
  remaining_ = number_;
  state_ = State::CHUNK_DATA;
}
