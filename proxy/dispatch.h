// Request dispatch: what to do with each piece a browser sends. Routes
// requests for the proxy itself to the setup pages, parses CONNECT and
// absolute "http://" requests, asks the matcher for a verdict, answers locally
// or connects upstream (reusing the session's connection for the same host)
// and forwards. Pieces that continue a request under way (its body, or the
// bytes of a tunnel) are forwarded unchanged and never read as requests.
#pragma once

#include <cstddef>

#include "platform/winsock.h"
#include "proxy/request_framing.h"

typedef struct ssl_st SSL;

// A session ends after this long without a byte from either side; a write
// to a side that takes nothing for as long fails.
constexpr int SESSION_IDLE_TIMEOUT_SECONDS = 300;

// Capacity of the session's host buffers.
constexpr std::size_t HOST_BUFFER_SIZE = 32768;

// The most bytes of a request for the setup pages, request line and headers:
// the session's receive buffer. A longer one gets an error page and changes
// nothing.
constexpr std::size_t SETUP_REQUEST_LIMIT = 32768;

// What a connection session holds between the pieces of one browser
// connection. Owned by the session thread; dispatch reads and updates it.
struct SessionState {
  // The host buffers are left uninitialised but for their first byte:
  // clearing 64 KiB per connection would touch every page of them for each
  // of possibly thousands of idle sessions.
  explicit SessionState(SOCKET browser) : client(browser) {
    host[0] = '\0';
    kept_host[0] = '\0';
    origin_failure[0] = '\0';
  }
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;

  const SOCKET client;
  // The connection to the web server or upstream proxy; INVALID_SOCKET when
  // there is none.
  SOCKET upstream = INVALID_SOCKET;
  // `upstream` is an established tunnel: every further piece goes through
  // unchanged.
  bool tunnel = false;
  // The request under way was answered here (blocked) or could not be sent:
  // the rest of it (its body) is dropped, not taken for requests.
  bool discarding = false;
  // Where the browser's requests begin and end.
  RequestFraming framing;
  // The bare host of the request last handled, for the pop-up neutraliser.
  char host[HOST_BUFFER_SIZE];
  // The host text (with ":port" when named) `upstream` was opened for.
  char kept_host[HOST_BUFFER_SIZE];

  // An inspected HTTPS connection (proxy/inspection.h): the browser speaks
  // TLS with us on `client_tls`, we with the origin on `upstream_tls`; both
  // sockets are then non-blocking. `host` stays the CONNECT's host, and every
  // request goes to that origin. When the origin failed verification there
  // is no upstream and `origin_failure` says why.
  bool inspected = false;
  SSL* client_tls = nullptr;
  SSL* upstream_tls = nullptr;
  char origin_failure[256];
};

// Sends all bytes to the browser or to the upstream connection, through TLS
// on an inspected connection; 0 on success, -1 on failure.
int send_to_client(SessionState& session, const char* data, std::size_t length);
int send_to_upstream(SessionState& session, const char* data, std::size_t length);
// Closes the session's connections (TLS first, with close_notify).
void close_client(SessionState& session);
void close_upstream(SessionState& session);

enum class DispatchResult {
  GO_ON,         // the session waits for more data as before
  READ_ON,       // the piece does not yet hold a whole request line (or, for the
                 // setup pages, header block): call again with more bytes behind it
  SESSION_OVER,  // dispatch closed both sockets; the session must end untouched
};

// buffer: the bytes received since the last call that did not ask to read on,
// `length` of them (1 to 32768), with room for a zero after them; dispatch may
// rewrite them in place. more_may_come: false when the buffer is full or the
// browser has ended its side, so that READ_ON cannot be answered.
DispatchResult dispatch_request(SessionState& session, char* buffer, std::size_t length,
                                bool more_may_come);
