// A connection session: waits on the browser's socket and the upstream
// connection, hands browser pieces to request dispatch and relays replies
// (after the pop-up neutraliser) to the browser, until either side closes,
// an error, five minutes of silence, or dispatch ends the session.
//
// The buffers live on this thread's stack and are deliberately left
// uninitialised: zeroing ~128 KiB per connection would touch every page of
// them for each of possibly thousands of idle sessions.
#include "proxy/session.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "certauth/tls_io.h"
#include "filter/popup_neutraliser.h"
#include "filter/rules_in_force.h"
#include "proxy/dispatch.h"
#include "settings/activity_log.h"

void run_session(void* client_argument) {
  SessionState session(static_cast<SOCKET>(reinterpret_cast<std::intptr_t>(client_argument)));
  const SOCKET client = session.client;
  // Browser bytes gather in `request` while dispatch reads on; replies have a
  // buffer of their own so that they never disturb a request half read.
  char request[PIECE_SIZE + 1];
  char reply[REPLY_READ_SIZE + 1];
  std::size_t pending = 0;
  // The browser ended its side: no more requests, but the reply to the last
  // one is still relayed until the server ends or the idle time-out.
  bool browser_ended = false;

  const auto end_session = [&] {
    close_client(session);
    close_upstream(session);
  };

  for (;;) {
    bool client_ready = false;
    bool upstream_ready = false;
    // Bytes TLS has already decrypted do not make the socket readable again.
    if (session.inspected) {
      client_ready = !browser_ended && session.client_tls != nullptr &&
                     certauth::tls_pending(session.client_tls);
      upstream_ready =
          session.upstream_tls != nullptr && certauth::tls_pending(session.upstream_tls);
    }
    // poll, not select: a busy proxy has descriptors above select's limit.
    const int ready =
        client_ready || upstream_ready
            ? 1
            : wait_readable(browser_ended ? INVALID_SOCKET : client, session.upstream,
                            SESSION_IDLE_TIMEOUT_SECONDS, &client_ready, &upstream_ready);
    if (ready == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEINTR) continue;
      log_activity("ERROR:\t*****Select Error!*****");
      end_session();
      return;
    }
    if (ready == 0) {  // idle for the whole time-out
      end_session();
      return;
    }

    const SOCKET waited_upstream = session.upstream;
    if (client_ready) {
      const ssize_t received =
          session.client_tls != nullptr
              ? certauth::tls_read(session.client_tls, request + pending, PIECE_SIZE - pending)
              : recv(client, request + pending, PIECE_SIZE - pending, 0);
      if (received == certauth::TLS_AGAIN) continue;  // a record not yet whole
      if (received < 0) {
        end_session();
        return;
      }
      if (received == 0) {
        browser_ended = true;
        // What was read on so far is all the request there will be.
        if (pending > 0 &&
            dispatch_request(session, request, pending, false) == DispatchResult::SESSION_OVER)
          return;
        pending = 0;
        if (session.upstream == INVALID_SOCKET) {
          end_session();
          return;
        }
      } else {
        pending += static_cast<std::size_t>(received);
        const DispatchResult result =
            dispatch_request(session, request, pending, pending < PIECE_SIZE);
        if (result == DispatchResult::SESSION_OVER) return;
        if (result != DispatchResult::READ_ON) pending = 0;
      }
    }

    if (upstream_ready && session.upstream != INVALID_SOCKET &&
        session.upstream == waited_upstream) {
      // Dispatch may have closed the connection we waited on and opened a new
      // one under the same descriptor number; not waiting here keeps that new
      // connection from blocking the session before its reply is due.
      const ssize_t received =
          session.upstream_tls != nullptr
              ? certauth::tls_read(session.upstream_tls, reply, REPLY_READ_SIZE)
              : recv(session.upstream, reply, REPLY_READ_SIZE, MSG_DONTWAIT);
      if (received == certauth::TLS_AGAIN) continue;
      if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (received <= 0) {
        end_session();
        return;
      }
      const std::size_t size = static_cast<std::size_t>(received);
      if (size > SMALL_REPLY_SIZE) {
        reply[size] = '\0';
        neutralise_popups(reply, session.host);
      }
      if (send_to_client(session, reply, size) != 0) {
        end_session();
        return;
      }
    }
  }
}
