// Sending a whole buffer on a socket.
#include <cerrno>

#include "proxy/dispatch.h"

int send_all(SOCKET s, const char* data, std::size_t length) {
  // One send even for an empty buffer, as callers expect. No MSG_NOSIGNAL:
  // the process ignores SIGPIPE (platform::init_process), so a browser that
  // went away is a failed send.
  do {
    const ssize_t sent = send(s, data, length, 0);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    data += sent;
    length -= static_cast<std::size_t>(sent);
  } while (length > 0);
  return 0;
}
