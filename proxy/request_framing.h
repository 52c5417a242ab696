// Follows where the requests a browser sends on one connection begin and end,
// byte by byte across pieces split anywhere: the request line, the header
// block, then a body by Content-Length or by chunked transfer coding.
//
// Request dispatch needs this to tell a piece that starts a request (which
// may be for the setup pages) from one that continues a request already
// under way: the body of an upload is forwarded unchanged whatever its bytes
// look like. The state is a few integers; nothing is allocated or kept of the
// bytes themselves. One object belongs to one session thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class RequestFraming {
 public:
  // True when the next byte would be the first of a new request (also at the
  // start of the connection).
  bool at_request_start() const { return state_ == State::REQUEST_START; }

  // True once the framing could not be followed (a Content-Length that is no
  // number, two that differ, a chunk size that is no hexadecimal number): from
  // then on nothing on the connection is taken for the start of a request.
  bool lost() const { return state_ == State::LOST; }

  // Follows `bytes` as far as the request under way (or, at a request start,
  // the one beginning there) goes. Returns how many bytes that was: all of
  // them unless the request ended inside `bytes`, in which case the object is
  // at a request start again and the rest is left unread. Empty lines before
  // a request line belong to the request that follows.
  std::size_t follow_current(std::string_view bytes);
  // Follows all of `bytes`, through as many requests as they hold.
  void follow(std::string_view bytes);

 private:
  enum class State : std::uint8_t {
    REQUEST_START,    // before the first byte of a request line
    REQUEST_LINE,     // inside the request line, up to its LF
    LINE_START,       // at the start of a header line (or of the ending blank line)
    NAME,             // inside a header name
    VALUE,            // inside a header value
    BLANK_LINE,       // after the CR of the blank line that ends the header block
    BODY,             // inside a body counted by Content-Length
    CHUNK_SIZE,       // the hexadecimal size of a chunk
    CHUNK_EXTENSION,  // after the size, up to the LF
    CHUNK_DATA,       // inside a chunk's data
    CHUNK_DATA_END,   // the CR LF after a chunk's data
    TRAILER_START,    // at the start of a trailer line (or of the final blank line)
    TRAILER,          // inside a trailer line
    LOST,             // framing unknown: everything continues what is under way
  };
  enum class Field : std::uint8_t { OTHER, CONTENT_LENGTH, TRANSFER_ENCODING };

  // True when only the next LF can change the state: the request line, a
  // header that frames nothing, chunk extensions and trailers. Browsers'
  // requests are mostly such bytes, so they are skipped in one search.
  bool waits_for_line_end() const;
  // Follows one byte outside the counted runs of body and chunk data.
  void step(char c);
  void name_byte(char c);
  void value_byte(char c);
  void end_header_line();
  void end_header_block();
  void end_chunk_size_line();

  State state_ = State::REQUEST_START;
  Field field_ = Field::OTHER;
  // How many bytes of the current header name matched so far, and whether
  // they still match "content-length" / "transfer-encoding".
  std::uint8_t name_length_ = 0;
  bool name_may_be_length_ = false;
  bool name_may_be_encoding_ = false;
  // Content-Length: the value of an earlier line, and the digits of this one.
  bool has_length_ = false;
  std::uint64_t length_ = 0;
  std::uint64_t number_ = 0;
  bool number_has_digits_ = false;
  bool number_ended_ = false;
  bool number_bad_ = false;
  // Transfer-Encoding: whether one was named, and whether the last coding
  // named is "chunked". token_length_ counts the matched letters of
  // "chunked" in the current coding; TOKEN_MISMATCH once it cannot be.
  bool has_encoding_ = false;
  bool chunked_ = false;
  std::uint8_t token_length_ = 0;
  bool token_ended_ = false;
  // Bytes of body or chunk data still due.
  std::uint64_t remaining_ = 0;
};
