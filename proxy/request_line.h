// Reading the request line of a piece a browser sent: a CONNECT tunnel
// request, an absolute "http://" request, or neither. Pure functions over the
// caller's bytes; the views returned point into the piece.
//
// The words are read the way the C library's scanf reads "%s" (runs of
// non-blank bytes, blanks being space, tab, CR, LF, VT and FF; the text ends
// at the first zero byte), so requests split the same way as ever. What
// follows the host-and-path is not cut at any length: `rest` holds every byte
// of the piece after it, zero bytes of a body included.
#pragma once

#include <cstddef>
#include <string_view>

enum class RequestKind {
  NOT_A_REQUEST,  // data of something under way (a body, tunnelled bytes)
  PLAIN,          // METHOD http://host[:port]/path ...
  TUNNEL,         // CONNECT host:port VERSION
};

struct RequestLine {
  RequestKind kind = RequestKind::NOT_A_REQUEST;
  std::string_view method;
  // PLAIN: the host with ":port" when one was named, up to the first "/".
  // TUNNEL: the target as written (host, colon, port).
  std::string_view host;
  // PLAIN: from the first "/" of the host-and-path to its end. Empty for
  // TUNNEL.
  std::string_view path;
  // PLAIN: every byte after the host-and-path, from the blank before the
  // version to the end of the piece. Empty for TUNNEL.
  std::string_view rest;
};

RequestLine parse_request_line(std::string_view piece);

// The port named after the host's ":", or DEFAULT_HTTP_PORT without a colon;
// *bare_host_length receives the length of the host without ":port". A port
// must be 1 to 65535 written in digits alone (leading zeros allowed):
// anything else, an empty one included, gives INVALID_PORT, so that no text
// wraps round to another port or reads as a port it does not name.
constexpr int DEFAULT_HTTP_PORT = 80;
constexpr int INVALID_PORT = -1;
constexpr int LARGEST_PORT = 65535;
int port_of_host(std::string_view host, std::size_t* bare_host_length);
