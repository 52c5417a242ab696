// The sockets a fuzzed session runs on: two socket pairs whose [0] ends are
// the session's (browser and upstream) and whose [1] ends the target reads
// and writes; each has room for a whole piece in either direction, so that
// nothing blocks while one thread plays every side.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "proxy/session.h"

struct SessionSockets {
  int browser[2];
  int upstream[2];
  SessionSockets() {
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, browser) == 0);
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, upstream) == 0);
    const int room = 4 * static_cast<int>(PIECE_SIZE);
    for (int s : {browser[0], browser[1], upstream[0], upstream[1]}) {
      setsockopt(s, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
      setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
  }
  // Closes the target's ends, and the session's too unless the session
  // closed them itself.
  void close_all(bool session_closed) const {
    if (!session_closed) {
      close(browser[0]);
      close(upstream[0]);
    }
    close(browser[1]);
    close(upstream[1]);
  }
};

// Everything waiting on `s` now, without blocking.
inline std::string drain(int s) {
  std::string got;
  char chunk[65536];
  for (;;) {
    const ssize_t n = recv(s, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) break;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  return got;
}
