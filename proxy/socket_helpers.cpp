// The small socket helpers the whole proxy shares: name resolution and
// closing a socket.
#include "platform/winsock.h"
#include "proxy/listener.h"

std::uint32_t resolve_host(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  // A dotted address is used as it stands, without a look-up.
  const in_addr_t dotted = inet_addr(name);
  if (dotted != INADDR_NONE) return dotted;
  std::uint32_t address = 0;
  if (lookup_ipv4(name, &address) != 0) return 0xFFFFFFFFu;
  return address;
}

void close_socket(SOCKET s) {
  if (s < 0) return;
  shutdown(s, SD_BOTH);
  closesocket(s);
}
