// A connection session: waits on the browser's socket and the upstream
// connection, hands browser pieces to request dispatch and relays replies
// (after the pop-up neutraliser) to the browser, until either side closes,
// an error, five minutes of silence, or dispatch ends the session.
//
// The buffers live on this thread's stack and are deliberately left
// uninitialised: zeroing ~96 KiB per connection would touch every page of
// them for each of possibly thousands of idle sessions.
#include "proxy/session.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "filter/popup_neutraliser.h"
#include "filter/rules_in_force.h"
#include "proxy/dispatch.h"
#include "settings/activity_log.h"

void run_session(void* client_argument) {
  const SOCKET client = static_cast<SOCKET>(reinterpret_cast<std::intptr_t>(client_argument));
  SOCKET upstream = INVALID_SOCKET;
  char buffer[PIECE_SIZE + 1];
  char host_buffer[HOST_BUFFER_SIZE];
  char last_host[HOST_BUFFER_SIZE];
  host_buffer[0] = '\0';
  last_host[0] = '\0';

  for (;;) {
    bool client_ready = false;
    bool upstream_ready = false;
    // poll, not select: a busy proxy has descriptors above select's limit.
    const int ready = wait_readable(client, upstream, SESSION_IDLE_TIMEOUT_SECONDS, &client_ready,
                                    &upstream_ready);
    if (ready == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEINTR) continue;
      log_activity("ERROR:\t*****Select Error!*****");
      close_socket(client);
      close_socket(upstream);
      return;
    }
    if (ready == 0) {  // idle for the whole time-out
      close_socket(client);
      close_socket(upstream);
      return;
    }

    const SOCKET waited_upstream = upstream;
    if (client_ready) {
      const ssize_t received = recv(client, buffer, PIECE_SIZE, 0);
      if (received <= 0) {
        close_socket(client);
        close_socket(upstream);
        return;
      }
      upstream = dispatch_request(client, upstream, buffer, static_cast<std::size_t>(received),
                                  host_buffer, last_host);
      if (upstream == SESSION_OVER) return;
    }

    if (upstream_ready && upstream != INVALID_SOCKET && upstream == waited_upstream) {
      // Dispatch may have closed the connection we waited on and opened a new
      // one under the same descriptor number; not waiting here keeps that new
      // connection from blocking the session before its reply is due.
      const ssize_t received = recv(upstream, buffer, REPLY_READ_SIZE, MSG_DONTWAIT);
      if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (received <= 0) {
        close_socket(client);
        close_socket(upstream);
        return;
      }
      const std::size_t size = static_cast<std::size_t>(received);
      if (size > SMALL_REPLY_SIZE) {
        buffer[size] = '\0';
        neutralise_popups(buffer, host_buffer);
      }
      if (send_all(client, buffer, size) != 0) {
        close_socket(client);
        close_socket(upstream);
        return;
      }
    }
  }
}
