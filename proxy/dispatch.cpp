// Request dispatch: every piece a browser sends passes through here. A piece
// is a request for the setup pages, a CONNECT, an absolute "http://" request,
// or data of something already under way; requests are matched, answered
// locally or forwarded on the session's upstream connection, which is opened
// here or kept from the previous request for the same host.
//
// Nothing is allocated on this path: the work buffers live on the session
// thread's stack.
#include "proxy/dispatch.h"

#include <cstdint>
#include <cstring>

#include "filter/matcher.h"
#include "filter/rule_list.h"
#include "filter/rules_in_force.h"
#include "proxy/canned_responses.h"
#include "proxy/request_line.h"
#include "settings/activity_log.h"
#include "settings/upstream_proxy.h"
#include "setupweb/router.h"

namespace {

// Size of each of the work buffers (the path, the local answer).
constexpr std::size_t WORK_BUFFER_SIZE = 32768;

// What the matcher sees as the path of a tunnel, and of any request that
// goes through an upstream proxy.
constexpr char TUNNEL_PATH_MARKER[] = " *HTTPS*";

// Copies a view into a zero-terminated buffer of `capacity` bytes, cutting
// what does not fit.
void copy_text(char* out, std::size_t capacity, std::string_view text) {
  const std::size_t size = text.size() < capacity ? text.size() : capacity - 1;
  std::memmove(out, text.data(), size);
  out[size] = '\0';
}

// last_host of a session whose upstream connection is an established tunnel
// starts with this byte. A host is read as one word, so no host text holds a
// blank: a marked last_host is never taken for a host (a control byte such as
// 0x01 could start one), and a later request never reuses the tunnel.
constexpr char TUNNEL_MARK = ' ';

void mark_tunnel(char* last_host) {
  const std::size_t size = std::strlen(last_host);
  const std::size_t kept = size < HOST_BUFFER_SIZE - 2 ? size : HOST_BUFFER_SIZE - 2;
  std::memmove(last_host + 1, last_host, kept);
  last_host[0] = TUNNEL_MARK;
  last_host[kept + 1] = '\0';
}

int close_both(SOCKET client, SOCKET upstream) {
  close_socket(client);
  close_socket(upstream);
  return SESSION_OVER;
}

// Requests addressed to the proxy itself ("GET /..."): the setup pages answer
// them and the connection ends.
int serve_setup(SOCKET client, SOCKET upstream, char* buffer, std::size_t length) {
  char target[WORK_BUFFER_SIZE];
  const std::string_view piece(buffer, length);
  const std::size_t blank = piece.find(' ', 5);
  if (blank != std::string_view::npos) {
    copy_text(target, sizeof target, piece.substr(5, blank - 5));
    serve_setup_request(client, target, buffer);
  }
  return close_both(client, upstream);
}

// A piece that is not a request: the next part of a body, or tunnelled data.
int forward_unchanged(SOCKET upstream, const char* buffer, std::size_t length) {
  if (upstream == INVALID_SOCKET) {
    log_activity("ERROR:\t*****Bad Request Received***** %s", buffer);
    return -1;
  }
  if (send_all(upstream, buffer, length) != 0) {
    close_socket(upstream);
    return -1;
  }
  return upstream;
}

// Rewrites "METHOD http://host/path REST" in place as "METHOD /path REST".
// The new text is shorter and every part moves towards the front, so the
// moves never overwrite bytes still to be moved. Returns the new length.
std::size_t rewrite_origin_form(char* buffer, const RequestLine& line, const char* path) {
  std::size_t at = 0;
  std::memmove(buffer, line.method.data(), line.method.size());
  at += line.method.size();
  buffer[at++] = ' ';
  const std::size_t path_size = std::strlen(path);
  std::memcpy(buffer + at, path, path_size);
  at += path_size;
  std::memmove(buffer + at, line.rest.data(), line.rest.size());
  at += line.rest.size();
  buffer[at] = '\0';
  return at;
}

// A new upstream socket connected to `address`, or INVALID_SOCKET with
// *connect_error set; *made is false when no socket could be made at all.
SOCKET open_upstream(const sockaddr_in& address, bool* made, int* connect_error) {
  *made = false;
  *connect_error = 0;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) {
    log_activity("ERROR:\t*****Could Not Create Socket!*****");
    return INVALID_SOCKET;
  }
  *made = true;
  // Closing resets the connection at once instead of lingering.
  const linger no_linger{1, 0};
  if (setsockopt(s, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger) != 0) {
    log_activity("ERROR:\t*****SETSOCKOPT SO_LINGER Failed!*****");
  }
  const int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    log_activity("ERROR:\t*****SETSOCKOPT TCP_NODELAY Failed!*****");
  }
  if (connect_socket(s, address) != 0) {
    *connect_error = WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace

int dispatch_request(SOCKET client, SOCKET upstream, char* buffer, std::size_t length,
                     char* host_buffer, char* last_host) {
  buffer[length] = '\0';

  // An established tunnel carries every further piece unchanged: its bytes
  // (TLS records, whatever the browser tunnels) are never read as requests,
  // not even when their fifth byte happens to be "/".
  if (upstream != INVALID_SOCKET && last_host[0] == TUNNEL_MARK) {
    return forward_unchanged(upstream, buffer, length);
  }

  // "GET /..." is for the proxy itself, whatever else is under way.
  if (length > 4 && buffer[4] == '/') return serve_setup(client, upstream, buffer, length);

  const RequestLine line = parse_request_line(std::string_view(buffer, length));
  if (line.kind == RequestKind::NOT_A_REQUEST) return forward_unchanged(upstream, buffer, length);

  const bool tunnel = line.kind == RequestKind::TUNNEL;
  copy_text(host_buffer, HOST_BUFFER_SIZE, line.host);
  // A CONNECT never reuses a connection; another request only one opened for
  // the very same host text.
  if (upstream != INVALID_SOCKET && (tunnel || std::strcmp(host_buffer, last_host) != 0)) {
    close_socket(upstream);
    upstream = INVALID_SOCKET;
  }
  copy_text(last_host, HOST_BUFFER_SIZE, line.host);

  // The setting is read once, so the whole request sees one setting.
  const UpstreamProxy proxy = current_upstream_proxy();
  const bool through_proxy = proxy.in_use();

  char path[WORK_BUFFER_SIZE];
  if (!tunnel && !through_proxy) {
    copy_text(path, sizeof path, line.path);
    length = rewrite_origin_form(buffer, line, path);
  } else {
    copy_text(path, sizeof path, TUNNEL_PATH_MARKER);
  }

  std::size_t bare_host_length = 0;
  const int port = port_of_host(host_buffer, &bare_host_length);
  host_buffer[bare_host_length] = '\0';

  switch (match_request(host_buffer, path)) {
    case VERDICT_RELOAD:
      reload_ad_definitions();
      send_all(client, RELOAD_PAGE.data(), RELOAD_PAGE.size());
      return close_both(client, upstream);
    case VERDICT_CLOSE_WINDOW:
      log_activity("Blocked Netscape's download Ad Page");
      send_all(client, CLOSE_WINDOW_PAGE.data(), CLOSE_WINDOW_PAGE.size());
      return close_both(client, upstream);
    case VERDICT_BLOCK: {
      log_activity("Blocked Ad: %s%s", host_buffer, path);
      bool sent;
      if (tunnel) {
        sent = send_all(client, BLOCKED_TUNNEL_PAGE.data(), BLOCKED_TUNNEL_PAGE.size()) == 0;
      } else {
        sent = send_all(client, BLOCKED_IMAGE_ANSWER.data(), BLOCKED_IMAGE_ANSWER.size()) == 0;
      }
      if (!sent) return close_both(client, upstream);
      return upstream;
    }
    default:
      break;
  }

  if (upstream == INVALID_SOCKET) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (through_proxy) {
      address.sin_port = htons(proxy.port);
      address.sin_addr.s_addr = proxy.address;
    } else {
      address.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
      address.sin_addr.s_addr = resolve_host(host_buffer);
    }
    bool made = false;
    int connect_error = 0;
    upstream = open_upstream(address, &made, &connect_error);
    if (upstream == INVALID_SOCKET) {
      if (!made) return -1;  // no socket: the request is dropped, the browser may retry
      char page[WORK_BUFFER_SIZE];
      const std::size_t page_length =
          compose_connect_failure_page(page, sizeof page, host_buffer, connect_error);
      send_all(client, page, page_length);
      close_socket(client);
      return SESSION_OVER;
    }
  }

  if (tunnel && !through_proxy) {
    if (send_all(client, TUNNEL_ESTABLISHED.data(), TUNNEL_ESTABLISHED.size()) != 0) {
      close_socket(upstream);
      return -1;
    }
    mark_tunnel(last_host);
    return upstream;
  }
  if (send_all(upstream, buffer, length) != 0) {
    close_socket(upstream);
    return -1;
  }
  if (tunnel) mark_tunnel(last_host);
  return upstream;
}
