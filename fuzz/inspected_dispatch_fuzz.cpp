// Fuzzes request dispatch inside an inspected HTTPS connection, on the
// decrypted pieces a browser sends there. The session is set up as after the
// two handshakes, over socket pairs in place of the TLS streams (the same
// seam sends through TLS or a plain socket), with rules that block one path.
//
// 1. With the origin connected: a piece that starts a request ("METHOD
//    TARGET ...") for the blocked path gets the 8x8 GIF answer and sends
//    nothing to the origin; any other piece (one that reads like a request
//    for the setup pages included) reaches the origin byte for byte, is not
//    rewritten, and nothing is answered locally. The session goes on with
//    the same origin connection.
// 2. A piece cut inside its request line is read on, with nothing sent.
// 3. With an origin that failed verification: a request gets the error page
//    naming the host, nothing else, and the session is over; never anything
//    of the piece reaches a socket.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "filter/rule_list.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/session_sockets.h"
#include "proxy/canned_responses.h"
#include "proxy/dispatch.h"
#include "proxy/session.h"

namespace {

constexpr char HOST[] = "shop.fuzz.test";
constexpr char BLOCKED_PATH[] = "/ads/banner.gif";

bool is_token_byte(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// The request target when the piece starts a request line, else empty.
std::string_view target_of(std::string_view piece) {
  const std::size_t blank = piece.find(' ');
  if (blank == 0 || blank == std::string_view::npos) return {};
  for (std::size_t i = 0; i < blank; ++i) {
    if (!is_token_byte(piece[i])) return {};
  }
  const std::size_t end = piece.find_first_of(std::string_view(" \t\r\n\0", 5), blank + 1);
  return piece.substr(blank + 1, (end == std::string_view::npos ? piece.size() : end) - blank - 1);
}

// A session as an inspected connection leaves it after the handshakes.
SessionState* inspected_session(int browser, int origin) {
  auto* session = new SessionState(browser);
  session->inspected = true;
  session->upstream = origin;
  std::snprintf(session->host, HOST_BUFFER_SIZE, "%s", HOST);
  std::snprintf(session->kept_host, HOST_BUFFER_SIZE, "%s:443", HOST);
  return session;
}

char buffer[PIECE_SIZE + 1];

DispatchResult dispatch(SessionState& session, std::string_view piece, bool more_may_come) {
  std::memcpy(buffer, piece.data(), piece.size());
  return dispatch_request(session, buffer, piece.size(), more_may_come);
}

void check_connected(std::string_view piece) {
  SessionSockets pairs;
  SessionState* session = inspected_session(pairs.browser[0], pairs.upstream[0]);
  const std::string_view target = target_of(piece);

  const std::size_t line_end = piece.find('\n');
  if (!target.empty() && line_end != std::string_view::npos && line_end > 0) {
    const std::size_t blank = piece.find(' ');
    const std::size_t cut =
        1 + static_cast<unsigned char>(piece.back()) % std::min(blank, line_end);
    FUZZ_CHECK(dispatch(*session, piece.substr(0, cut), true) == DispatchResult::READ_ON);
    FUZZ_CHECK(drain(pairs.upstream[1]).empty() && drain(pairs.browser[1]).empty());
  }

  const DispatchResult result = dispatch(*session, piece, false);
  FUZZ_CHECK(result == DispatchResult::GO_ON);
  FUZZ_CHECK(session->upstream == pairs.upstream[0] && session->inspected);
  FUZZ_CHECK(std::strcmp(session->host, HOST) == 0);
  const std::string forwarded = drain(pairs.upstream[1]);
  const std::string answered = drain(pairs.browser[1]);
  if (target == BLOCKED_PATH) {
    FUZZ_CHECK(forwarded.empty());
    FUZZ_CHECK(answered == BLOCKED_IMAGE_ANSWER);
  } else {
    FUZZ_CHECK(forwarded == piece);
    FUZZ_CHECK(answered.empty());
  }
  delete session;
  for (int s : {pairs.browser[0], pairs.browser[1], pairs.upstream[0], pairs.upstream[1]}) close(s);
}

void check_failed_origin(std::string_view piece) {
  SessionSockets pairs;
  SessionState* session = inspected_session(pairs.browser[0], INVALID_SOCKET);
  close(pairs.upstream[0]);
  std::snprintf(session->origin_failure, sizeof session->origin_failure, "%s",
                "certificate has expired");
  const std::string_view target = target_of(piece);
  const DispatchResult result = dispatch(*session, piece, false);
  const std::string answered = drain(pairs.browser[1]);
  if (!target.empty() && target != BLOCKED_PATH) {
    FUZZ_CHECK(result == DispatchResult::SESSION_OVER);
    FUZZ_CHECK(answered.rfind("HTTP/1.1 502 ", 0) == 0);
    FUZZ_CHECK(answered.find(std::string("\"") + HOST + "\"") != std::string::npos);
    FUZZ_CHECK(answered.find("certificate has expired") != std::string::npos);
  } else {
    FUZZ_CHECK(result == DispatchResult::GO_ON);
    FUZZ_CHECK(answered == (target.empty() ? std::string() : std::string(BLOCKED_IMAGE_ANSWER)));
    close(pairs.browser[0]);
  }
  delete session;
  close(pairs.browser[1]);
  close(pairs.upstream[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char prefix[] = "/tmp/vellomar-fuzz-inspected.XXXXXX";
  if (mkdtemp(prefix) != nullptr) {
    setenv("VELLOMAR_PREFIX", prefix, 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(prefix, ignored);
    });
    // The rules: the one blocked path, read from the definitions file as
    // the program reads it.
    if (chdir(prefix) == 0) {
      std::ofstream(std::string(prefix) + "/vellomar.ini") << "F" << BLOCKED_PATH << "\n";
      load_ad_definitions();
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > PIECE_SIZE) return 0;
  const std::string_view piece(reinterpret_cast<const char*>(data), size);
  check_connected(piece);
  check_failed_origin(piece);
  return 0;
}
