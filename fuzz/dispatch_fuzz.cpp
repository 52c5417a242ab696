// Fuzzes request dispatch on arbitrary browser pieces, in two layers.
//
// 1. parse_request_line against the C library's scanf patterns the request
//    line has always been read with ("%s %s %s" for CONNECT, "%s http://%s%c"
//    otherwise): the same kind, method, target and host-and-path, and views
//    that tile the piece (host, path and rest adjacent, rest running to the
//    piece's very end).
// 2. dispatch_request itself over socket pairs, with an upstream connection
//    already open for the piece's host (so nothing is resolved or connected):
//    a plain request must reach upstream as METHOD, one blank, the path and
//    then every byte that followed the host-and-path, unchanged; any other
//    piece must reach upstream byte for byte. The piece first arrives cut
//    inside its request line: dispatch must ask to read on and do nothing,
//    or (for bytes that cannot start a request line) pass them on as they
//    are. Pieces for the setup pages and CONNECT requests are left to their
//    own tests (they would act on the machine or open connections).
// 3. Inside an established tunnel (a real CONNECT to a listener of this
//    process), every piece, whatever it looks like, must reach the far end
//    unchanged and leave the tunnel open.
// 4. As the body of a request framed by Content-Length, every piece (one
//    that reads like a request for the setup pages included) must reach
//    upstream unchanged, and the connection must be at a request start again.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/session_sockets.h"
#include "proxy/canned_responses.h"
#include "proxy/dispatch.h"
#include "proxy/listener.h"
#include "proxy/request_line.h"
#include "proxy/session.h"

namespace {

bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// The request line as scanf reads it, over the text up to the first zero.
void check_against_scanf(std::string_view piece, const RequestLine& line) {
  const std::string text(piece.substr(0, piece.find('\0')));
  std::vector<char> a(text.size() + 2), b(text.size() + 2), c(text.size() + 2);
  if (piece.substr(0, 7) == "CONNECT") {
    const int fields = std::sscanf(text.c_str(), "%s %s %s", a.data(), b.data(), c.data());
    FUZZ_CHECK((fields == 3) == (line.kind == RequestKind::TUNNEL));
    if (fields == 3) {
      FUZZ_CHECK(line.method == a.data());
      FUZZ_CHECK(line.host == b.data());
      FUZZ_CHECK(line.path.empty() && line.rest.empty());
    }
    return;
  }
  FUZZ_CHECK(line.kind != RequestKind::TUNNEL);
  char one = 0;
  const int fields = std::sscanf(text.c_str(), "%s http://%s%c", a.data(), b.data(), &one);
  const std::string_view host_and_path = b.data();
  const bool plain = fields == 3 && host_and_path.find('/') != std::string_view::npos;
  FUZZ_CHECK(plain == (line.kind == RequestKind::PLAIN));
  if (!plain) return;
  FUZZ_CHECK(line.method == a.data());
  FUZZ_CHECK(std::string(line.host) + std::string(line.path) == host_and_path);
  FUZZ_CHECK(line.path.substr(0, 1) == "/");
  FUZZ_CHECK(line.host.find('/') == std::string_view::npos);
  // The views tile the piece: host, path and rest follow each other, and the
  // rest runs to the end of the piece (zero bytes of a body included).
  FUZZ_CHECK(inside(line.method, piece) && inside(line.host, piece) && inside(line.path, piece) &&
             inside(line.rest, piece));
  FUZZ_CHECK(line.host.data() + line.host.size() == line.path.data());
  FUZZ_CHECK(line.path.data() + line.path.size() == line.rest.data());
  FUZZ_CHECK(line.rest.data() + line.rest.size() == piece.data() + piece.size());
  FUZZ_CHECK(!line.rest.empty());

  std::size_t bare = 0;
  const int port = port_of_host(line.host, &bare);
  FUZZ_CHECK(bare <= line.host.size());
  FUZZ_CHECK(line.host.substr(0, bare).find(':') == std::string_view::npos);
  if (bare == line.host.size()) FUZZ_CHECK(port == DEFAULT_HTTP_PORT);
  // A port is digits alone (leading zeros aside, at most five), 1 to 65535;
  // anything else is invalid.
  if (bare < line.host.size()) {
    const std::string_view after_colon = line.host.substr(bare + 1);
    int expected = INVALID_PORT;
    if (!after_colon.empty() && after_colon.find_first_not_of("0123456789") == std::string::npos) {
      const std::string_view significant =
          after_colon.substr(std::min(after_colon.find_first_not_of('0'), after_colon.size()));
      if (significant.size() <= 5) {
        const int value = significant.empty() ? 0 : std::atoi(std::string(significant).c_str());
        if (value >= 1 && value <= LARGEST_PORT) expected = value;
      }
    }
    FUZZ_CHECK(port == expected);
  }
}

char buffer[PIECE_SIZE + 1];

DispatchResult dispatch(SessionState& session, std::string_view piece, bool more_may_come) {
  std::memcpy(buffer, piece.data(), piece.size());
  return dispatch_request(session, buffer, piece.size(), more_may_come);
}

void check_dispatch(std::string_view piece, const RequestLine& line) {
  if (piece.size() > 4 && piece[4] == '/') return;  // the setup pages
  if (line.kind == RequestKind::TUNNEL) return;     // would connect
  if (line.kind == RequestKind::PLAIN) {
    std::size_t bare = 0;
    port_of_host(line.host, &bare);
    // Reloads the rules and answers locally; covered by the proxy's tests.
    if (line.host.substr(0, bare) == "vellomar.reload") return;
  }
  SessionSockets sockets;
  static SessionState* session = nullptr;
  delete session;
  session = new SessionState(sockets.browser[0]);
  session->upstream = sockets.upstream[0];
  const std::string host(line.host);
  std::snprintf(session->kept_host, HOST_BUFFER_SIZE, "%s", host.c_str());

  // The piece cut inside its request line first: bytes that can still grow
  // into a request line (method bytes up to the first blank) must be read
  // on, with nothing sent and nothing changed. (Other bytes are handled as a
  // piece of their own, as they always were.)
  const std::size_t line_end = piece.find('\n');
  if (line_end != std::string_view::npos && line_end > 0) {
    const std::size_t cut = 1 + static_cast<unsigned char>(piece.back()) % line_end;
    const std::string_view part = piece.substr(0, cut);
    const std::size_t blank = part.find(' ');
    const bool may_grow = blank != 0 && part.substr(0, blank).find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789!#$%&'*+-.^_`|~") == std::string::npos;
    if (may_grow) {
      FUZZ_CHECK(dispatch(*session, part, true) == DispatchResult::READ_ON);
      FUZZ_CHECK(drain(sockets.upstream[1]).empty());
      FUZZ_CHECK(drain(sockets.browser[1]).empty());
      FUZZ_CHECK(session->upstream == sockets.upstream[0]);
      FUZZ_CHECK(session->framing.at_request_start());
    }
  }

  // What upstream must receive.
  std::string expected;
  if (line.kind == RequestKind::PLAIN) {
    // The path as a zero-terminated text (a request line never holds a zero
    // before its body), then every byte after the host-and-path.
    expected = std::string(line.method) + " " + std::string(line.path) + std::string(line.rest);
  } else {
    expected = std::string(piece);
  }

  const DispatchResult result = dispatch(*session, piece, false);
  const std::string forwarded = drain(sockets.upstream[1]);
  if (result == DispatchResult::SESSION_OVER) {
    // Answered locally (the built-in advertisement page, or the page for an
    // invalid port): dispatch closed both of its sockets, nothing went
    // upstream.
    FUZZ_CHECK(forwarded.empty());
    FUZZ_CHECK(!drain(sockets.browser[1]).empty());
    sockets.close_all(true);
    return;
  }
  FUZZ_CHECK(result == DispatchResult::GO_ON);
  FUZZ_CHECK(session->upstream == sockets.upstream[0]);  // reused, not closed or replaced
  FUZZ_CHECK(forwarded == expected);
  if (line.kind == RequestKind::PLAIN) {
    // The in-place rewrite never grows the piece.
    FUZZ_CHECK(forwarded.size() <= piece.size());
    FUZZ_CHECK(std::strlen(session->host) <= host.size());
    FUZZ_CHECK(host.compare(0, std::strlen(session->host), session->host) == 0);
  }
  FUZZ_CHECK(drain(sockets.browser[1]).empty());  // nothing answered locally
  sockets.close_all(false);
}

void check_body(std::string_view piece) {
  SessionSockets sockets;
  static SessionState* session = nullptr;
  delete session;
  session = new SessionState(sockets.browser[0]);
  session->upstream = sockets.upstream[0];
  std::snprintf(session->kept_host, HOST_BUFFER_SIZE, "%s", "h");
  const std::string head =
      "POST http://h/ HTTP/1.1\r\nContent-Length: " + std::to_string(piece.size()) + "\r\n\r\n";
  FUZZ_CHECK(dispatch(*session, head, true) == DispatchResult::GO_ON);
  FUZZ_CHECK(drain(sockets.upstream[1]) ==
             "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(piece.size()) + "\r\n\r\n");
  FUZZ_CHECK(dispatch(*session, piece, true) == DispatchResult::GO_ON);
  FUZZ_CHECK(drain(sockets.upstream[1]) == piece);
  FUZZ_CHECK(drain(sockets.browser[1]).empty());
  FUZZ_CHECK(session->framing.at_request_start());
  FUZZ_CHECK(session->upstream == sockets.upstream[0]);
  sockets.close_all(false);
}

// The far end of the tunnels: a listener on a loopback port of our own.
int tunnel_listener = -1;
int tunnel_port = 0;

// Reads exactly `size` bytes (or what arrives within a second).
std::string receive(int s, std::size_t size) {
  std::string got;
  char chunk[65536];
  while (got.size() < size) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) break;
    const ssize_t n = recv(s, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  return got;
}

void check_tunnel(std::string_view piece) {
  if (tunnel_listener < 0) return;
  int browser[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, browser) == 0);
  static SessionState* session = nullptr;
  delete session;
  session = new SessionState(browser[0]);
  const std::string connect =
      "CONNECT 127.0.0.1:" + std::to_string(tunnel_port) + " HTTP/1.0\r\n\r\n";
  FUZZ_CHECK(dispatch(*session, connect, true) == DispatchResult::GO_ON);
  const int upstream = session->upstream;
  FUZZ_CHECK(upstream >= 0 && session->tunnel);
  const int far_end = accept(tunnel_listener, nullptr, nullptr);
  FUZZ_CHECK(far_end >= 0);
  FUZZ_CHECK(receive(browser[1], TUNNEL_ESTABLISHED.size()) == TUNNEL_ESTABLISHED);

  // The tunnel stays, whatever the piece held.
  FUZZ_CHECK(dispatch(*session, piece, true) == DispatchResult::GO_ON);
  FUZZ_CHECK(session->upstream == upstream);
  FUZZ_CHECK(receive(far_end, piece.size()) == piece);
  FUZZ_CHECK(drain(browser[1]).empty());
  close_socket(upstream);
  close(far_end);
  close(browser[0]);
  close(browser[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The registry and the activity log of a machine of our own (logging off).
  static char prefix[] = "/tmp/vellomar-fuzz-dispatch.XXXXXX";
  if (mkdtemp(prefix) != nullptr) {
    setenv("VELLOMAR_PREFIX", prefix, 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(prefix, ignored);
    });
  }
  tunnel_listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(tunnel_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(tunnel_listener, 16) != 0 ||
      getsockname(tunnel_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(tunnel_listener);
    tunnel_listener = -1;
  } else {
    tunnel_port = ntohs(address.sin_port);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > PIECE_SIZE) return 0;
  const std::string_view piece(reinterpret_cast<const char*>(data), size);
  const RequestLine line = parse_request_line(piece);
  check_against_scanf(piece, line);
  check_dispatch(piece, line);
  check_tunnel(piece);
  check_body(piece);
  return 0;
}
