// Request dispatch: what to do with each piece a browser sends. Routes
// requests for the proxy itself to the setup pages, parses CONNECT and
// absolute "http://" requests, asks the matcher for a verdict, answers locally
// or connects upstream (reusing the session's connection for the same host)
// and forwards.
#pragma once

#include <cstddef>

#include "platform/winsock.h"

// dispatch_request's result when it has closed the browser socket and any
// upstream socket: the session must end without touching them.
constexpr int SESSION_OVER = -2;

// Capacity of the session's host and last_host buffers.
constexpr std::size_t HOST_BUFFER_SIZE = 32768;

// client, upstream: the session's sockets (upstream -1 when none).
// buffer: the piece, `length` bytes (1 to 32768), with room for a zero after
// it; dispatch may rewrite the piece in place. host_buffer receives the bare
// host of the request (handed to the pop-up neutraliser); last_host is the
// session's memory of which host:port its upstream connection serves, and
// whether that connection is an established tunnel (whose pieces then all go
// through unchanged). The session starts both empty.
// Returns the session's upstream socket from now on, -1 for none, or
// SESSION_OVER.
int dispatch_request(SOCKET client, SOCKET upstream, char* buffer, std::size_t length,
                     char* host_buffer, char* last_host);
