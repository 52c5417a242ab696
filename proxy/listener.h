// The proxy thread: start-up, the listening socket on 127.0.0.1:8000 and the
// accept loop.
#pragma once

#include <cstdint>

#include "platform/winsock.h"

constexpr char LISTEN_ADDRESS[] = "127.0.0.1";
constexpr int LISTEN_PORT = 8000;
// Connections the system queues before the accept loop takes them. A browser
// opens several at once per page; with a queue of 5 a burst overflows it and
// the dropped connection waits a whole second to be retried.
constexpr int LISTEN_BACKLOG = 128;

// Exit status of the fatal start-up failures (-1 as the process sees it).
constexpr int FATAL_EXIT_STATUS = 255;

// How the proxy thread reaches whoever started it. on_fatal_failure runs on
// the proxy thread after a fatal start-up failure (the socket library cannot
// start, or the port is taken), once the user has been told in a message box;
// it is to end the program with `exit_status`. Should it return, or be null,
// the process ends at once with that status.
struct ProxyStart {
  void (*on_fatal_failure)(int exit_status) = nullptr;
};

// The proxy thread's entry; `start` points to a ProxyStart that outlives the
// thread, or is null. Never returns.
void proxy_thread_main(void* start);

// 0 when the socket library is ready, -1 otherwise.
int start_winsock();

// A listening socket bound to host:port (host byte order), or -1 (nothing is
// left open then). SO_REUSEADDR lets a restarted program bind at once while
// old connections linger; a second listener still cannot share the port.
SOCKET open_listen_socket(const char* host, int port);

// Accepts browser connections forever, one session thread each.
[[noreturn]] void accept_connections(SOCKET listen_socket);
