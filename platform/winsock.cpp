// Sockets over POSIX: the original's start-up and error numbers, a connect
// that fails like the original for the all-ones address, a wait that takes
// descriptors of any number, a thread-safe IPv4 name look-up, and the
// resolve, close and send-whole helpers built on them.
#include "platform/winsock.h"

#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int WSAStartup(WORD version_requested, WSADATA* data) {
  const int major = version_requested & 0xFF;
  const int minor = (version_requested >> 8) & 0xFF;
  if (major < 1 || (major == 1 && minor < 1)) return 10092;  // WSAVERNOTSUPPORTED
  if (data != nullptr) {
    // The granted version is the lower of the one asked for and 2.2.
    const bool above = major > 2 || (major == 2 && minor >= 2);
    data->wVersion = above ? WORD{0x0202} : version_requested;
    data->wHighVersion = 0x0202;
  }
  return 0;
}

int WSACleanup() {
  return 0;
}

int WSAGetLastError() {
  switch (errno) {
    case EINTR:
      return WSAEINTR;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    default:
      return errno;
  }
}

int closesocket(SOCKET s) {
  if (s < 0) return 0;
  return close(s);
}

int connect_socket(SOCKET s, const sockaddr_in& address) {
  if (address.sin_addr.s_addr == 0xFFFFFFFFu) {
    errno = EADDRNOTAVAIL;
    return SOCKET_ERROR;
  }
  int result;
  do {
    result = connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : SOCKET_ERROR;
}

int wait_readable(SOCKET first, SOCKET second, int timeout_seconds, bool* first_ready,
                  bool* second_ready) {
  pollfd fds[2];
  nfds_t count = 0;
  int first_index = -1;
  int second_index = -1;
  if (first >= 0) {
    fds[count] = pollfd{first, POLLIN, 0};
    first_index = static_cast<int>(count++);
  }
  if (second >= 0) {
    fds[count] = pollfd{second, POLLIN, 0};
    second_index = static_cast<int>(count++);
  }
  *first_ready = false;
  *second_ready = false;
  const int result = poll(fds, count, timeout_seconds * 1000);
  if (result <= 0) return result < 0 ? SOCKET_ERROR : 0;
  // Readable, closed by the peer, or in error: each of these makes the next
  // recv return at once, which is what the caller waits for.
  constexpr short kReady = POLLIN | POLLHUP | POLLERR | POLLNVAL;
  if (first_index >= 0) *first_ready = (fds[first_index].revents & kReady) != 0;
  if (second_index >= 0) *second_ready = (fds[second_index].revents & kReady) != 0;
  return static_cast<int>(*first_ready) + static_cast<int>(*second_ready);
}

int lookup_ipv4(const char* name, std::uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answer) != 0 || answer == nullptr) return -1;
  int result = -1;
  for (addrinfo* entry = answer; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in ipv4;
      std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
      *address = ipv4.sin_addr.s_addr;
      result = 0;
      break;
    }
  }
  freeaddrinfo(answer);
  return result;
}

std::uint32_t resolve_host(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  const in_addr_t dotted = inet_addr(name);
  if (dotted != INADDR_NONE) return dotted;
  std::uint32_t address = 0;
  if (lookup_ipv4(name, &address) != 0) return RESOLVE_FAILED;
  return address;
}

void close_socket(SOCKET s) {
  if (s < 0) return;
  shutdown(s, SD_BOTH);
  closesocket(s);
}

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
