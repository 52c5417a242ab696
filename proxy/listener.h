// The proxy thread: start-up, the listening socket on 127.0.0.1:8000 and the
// accept loop, plus the small socket helpers the whole proxy uses.
#pragma once

#include <cstdint>

#include "platform/winsock.h"

constexpr char LISTEN_ADDRESS[] = "127.0.0.1";
constexpr int LISTEN_PORT = 8000;
// Connections the system queues before the accept loop takes them. A browser
// opens several at once per page; with a queue of 5 a burst overflows it and
// the dropped connection waits a whole second to be retried.
constexpr int LISTEN_BACKLOG = 128;

// The proxy thread's entry (its argument is unused). Never returns: it ends
// the process itself on a fatal start-up failure, with exit status 255.
void proxy_thread_main(void* unused);

// 0 when the socket library is ready, -1 otherwise.
int start_winsock();

// A listening socket bound to host:port (host byte order), or -1 (nothing is
// left open then). SO_REUSEADDR lets a restarted program bind at once while
// old connections linger; a second listener still cannot share the port.
SOCKET open_listen_socket(const char* host, int port);

// The IPv4 address of a name or dotted address, network byte order: 0 for a
// null or empty name, 0xFFFFFFFF when it cannot be resolved. Thread-safe.
std::uint32_t resolve_host(const char* name);

// Accepts browser connections forever, one session thread each.
[[noreturn]] void accept_connections(SOCKET listen_socket);

// Shuts a socket down both ways and closes it; -1 is ignored.
void close_socket(SOCKET s);
