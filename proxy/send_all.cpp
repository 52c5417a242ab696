// Sending a whole buffer on a socket.
#include "proxy/dispatch.h"

int send_all(SOCKET s, const char* data, std::size_t length) {
  // One send even for an empty buffer, as callers of the original expect.
  do {
    const ssize_t sent = send(s, data, length, MSG_NOSIGNAL);
    if (sent < 0) return -1;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  } while (length > 0);
  return 0;
}
