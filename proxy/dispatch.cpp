// Request dispatch: every piece a browser sends passes through here. A piece
// is a request for the setup pages, a CONNECT, an absolute "http://" request,
// or data of something already under way; requests are matched, answered
// locally or forwarded on the session's upstream connection, which is opened
// here or kept from the previous request for the same host.
//
// Nothing is allocated on this path: the work buffers live on the session
// thread's stack.
#include "proxy/dispatch.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "certauth/origin_tls.h"
#include "certauth/tls_io.h"
#include "filter/matcher.h"
#include "filter/rule_list.h"
#include "filter/rules_in_force.h"
#include "proxy/canned_responses.h"
#include "proxy/inspection.h"
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

// Token bytes, the ones a request method is made of.
bool is_token_byte(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// "GET /...": a three-letter method, a blank and "/" make a request for the
// proxy itself.
bool is_setup_request(std::string_view piece) {
  return piece.size() > 4 && piece[4] == '/' && piece[3] == ' ' && is_token_byte(piece[0]) &&
         is_token_byte(piece[1]) && is_token_byte(piece[2]);
}

// Whether bytes without a line end yet may still grow into a request line:
// all of them up to the first blank are method bytes.
bool may_become_request_line(std::string_view piece) {
  for (std::size_t i = 0; i < piece.size(); ++i) {
    if (piece[i] == ' ') return i > 0;
    if (!is_token_byte(piece[i])) return false;
  }
  return true;
}

// Where the header block ends (just after its blank line), or npos.
std::size_t header_block_end(std::string_view request) {
  for (std::size_t at = request.find('\n'); at != std::string_view::npos;
       at = request.find('\n', at + 1)) {
    if (at + 1 < request.size() && request[at + 1] == '\n') return at + 2;
    if (at + 2 < request.size() && request[at + 1] == '\r' && request[at + 2] == '\n')
      return at + 3;
  }
  return std::string_view::npos;
}

void drop_upstream(SessionState& session) {
  close_upstream(session);
  session.tunnel = false;
}

DispatchResult close_both(SessionState& session) {
  close_client(session);
  drop_upstream(session);
  return DispatchResult::SESSION_OVER;
}

// Requests addressed to the proxy itself ("GET /..."): the setup pages answer
// them and the connection ends. The whole header block is read first, since
// the pages judge who asked by its Host, Origin, Referer and Sec-Fetch-Site.
DispatchResult serve_setup(SessionState& session, char* buffer, std::size_t length,
                           bool more_may_come) {
  const std::string_view piece(buffer, length);
  std::size_t end = header_block_end(piece);
  if (end == std::string_view::npos) {
    if (more_may_come) return DispatchResult::READ_ON;
    if (length >= SETUP_REQUEST_LIMIT) {
      refuse_setup_request(session.client);
      return close_both(session);
    }
    // The browser ended its side before its headers did: only the request
    // line is judged, which makes it a plain visit that changes nothing.
    end = piece.find('\n');
    if (end == std::string_view::npos) end = length;
  }
  buffer[end] = '\0';
  const std::string_view request_line = piece.substr(0, piece.find('\n'));
  const std::size_t blank = request_line.find(' ', 5);
  if (blank != std::string_view::npos) {
    char target[WORK_BUFFER_SIZE];
    copy_text(target, sizeof target, request_line.substr(5, blank - 5));
    serve_setup_request(session.client, target, buffer);
  }
  return close_both(session);
}

// A piece that is not a request: the next part of a body, or tunnelled data.
void forward_unchanged(SessionState& session, const char* buffer, std::size_t length) {
  if (session.upstream == INVALID_SOCKET) {
    log_activity("ERROR:\t*****Bad Request Received***** %s", buffer);
    return;
  }
  if (send_to_upstream(session, buffer, length) != 0) {
    drop_upstream(session);
    // What is left of the request has nowhere to go.
    session.discarding = !session.framing.at_request_start();
  }
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

// The request line of a request inside an inspected connection: "METHOD
// TARGET VERSION", the target in origin form ("/path?query"). The host is
// the CONNECT's; nothing is rewritten.
RequestLine parse_inspected_request_line(std::string_view piece) {
  RequestLine line;
  const std::size_t blank = piece.find(' ');
  if (blank == 0 || blank == std::string_view::npos) return line;
  for (std::size_t i = 0; i < blank; ++i) {
    if (!is_token_byte(piece[i])) return line;
  }
  std::size_t end = blank + 1;
  while (end < piece.size() && piece[end] != ' ' && piece[end] != '\t' && piece[end] != '\r' &&
         piece[end] != '\n' && piece[end] != '\0') {
    ++end;
  }
  if (end == blank + 1) return line;
  line.kind = RequestKind::PLAIN;
  line.method = piece.substr(0, blank);
  line.path = piece.substr(blank + 1, end - blank - 1);
  line.rest = piece.substr(end);
  return line;
}

// Answers a request the verdict keeps from going out; nullopt on pass.
// `scheme` prefixes the log line's address ("https://" inside an inspected
// connection, nothing for plain HTTP and tunnels).
std::optional<DispatchResult> act_on_verdict(SessionState& session, Verdict verdict,
                                             const char* scheme, const char* host, const char* path,
                                             bool tunnel) {
  switch (verdict) {
    case VERDICT_RELOAD:
      reload_ad_definitions();
      reload_inspection();
      send_to_client(session, RELOAD_PAGE.data(), RELOAD_PAGE.size());
      return close_both(session);
    case VERDICT_CLOSE_WINDOW:
      log_activity("Blocked Netscape's download Ad Page");
      send_to_client(session, CLOSE_WINDOW_PAGE.data(), CLOSE_WINDOW_PAGE.size());
      return close_both(session);
    case VERDICT_BLOCK: {
      log_activity("Blocked Ad: %s%s%s", scheme, host, path);
      const std::string_view answer = tunnel ? BLOCKED_TUNNEL_PAGE : BLOCKED_IMAGE_ANSWER;
      if (send_to_client(session, answer.data(), answer.size()) != 0) return close_both(session);
      // The body of a blocked request goes nowhere.
      session.discarding = !session.framing.at_request_start();
      return DispatchResult::GO_ON;
    }
    default:
      return std::nullopt;
  }
}

// Reads an upstream proxy's reply to our CONNECT, up to its blank line (at
// most PROXY_REPLY_LIMIT bytes, within the origin handshake's time limit).
// True when it is a 2xx reply; *reply holds what was read.
bool read_proxy_reply(SOCKET s, std::string* reply) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ORIGIN_HANDSHAKE_TIMEOUT_MS);
  char byte;
  // Byte by byte, so nothing of the TLS stream behind the reply is taken.
  while (reply->size() < PROXY_REPLY_LIMIT) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{s, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
    if (recv(s, &byte, 1, 0) != 1) return false;
    *reply += byte;
    if (reply->size() >= 4 && reply->compare(reply->size() - 4, 4, "\r\n\r\n") == 0) break;
  }
  return reply->size() > 12 && reply->compare(0, 7, "HTTP/1.") == 0 && (*reply)[8] == ' ' &&
         (*reply)[9] == '2';
}

// A CONNECT that passed the matcher, inspected: the proxy's own TLS
// connection to the origin first (directly or through the upstream proxy),
// then the tunnel-established reply and the handshake with the browser on a
// certificate for the host. nullopt when the origin asked for a client
// certificate: the host is remembered and the CONNECT is tunnelled as ever.
std::optional<DispatchResult> inspect_connection(SessionState& session,
                                                 const InspectionState& inspection,
                                                 const UpstreamProxy& proxy, const char* host,
                                                 int port, const char* target) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (proxy.in_use()) {
    address.sin_port = htons(proxy.port);
    address.sin_addr.s_addr = proxy.address;
  } else {
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = resolve_host(host);
  }
  bool made = false;
  int connect_error = 0;
  session.upstream = open_upstream(address, &made, &connect_error);
  if (session.upstream == INVALID_SOCKET) {
    if (!made) return DispatchResult::GO_ON;
    char page[WORK_BUFFER_SIZE];
    const std::size_t page_length =
        compose_connect_failure_page(page, sizeof page, host, connect_error);
    send_to_client(session, page, page_length);
    return close_both(session);
  }
  if (proxy.in_use()) {
    const std::string request =
        std::string("CONNECT ") + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    std::string reply;
    if (send_all(session.upstream, request.data(), request.size()) != 0 ||
        !read_proxy_reply(session.upstream, &reply)) {
      // The upstream proxy's refusal is the browser's answer, as for a tunnel.
      send_to_client(session, reply.data(), reply.size());
      return close_both(session);
    }
  }
  certauth::make_non_blocking(session.upstream);
  session.upstream_tls =
      certauth::new_origin_connection(inspection.origin_context.get(), session.upstream, host);
  std::string error = "cannot start TLS";
  long verify_result = 0;
  const bool verified = session.upstream_tls != nullptr &&
                        certauth::tls_handshake(session.upstream_tls, ORIGIN_HANDSHAKE_TIMEOUT_MS,
                                                &error, &verify_result);
  // Only an origin whose certificate verified is believed: a forger's
  // request must not turn inspection off for the host it pretends to be.
  if (session.upstream_tls != nullptr &&
      certauth::origin_asked_for_certificate(session.upstream_tls) &&
      SSL_get_verify_result(session.upstream_tls) == X509_V_OK &&
      SSL_get0_peer_certificate(session.upstream_tls) != nullptr) {
    remember_client_certificate_host(host);
    log_activity("HTTPS: %s asks for a client certificate; passed through from now on", host);
    drop_upstream(session);
    return std::nullopt;
  }
  if (!verified) {
    copy_text(session.origin_failure, sizeof session.origin_failure, error);
    drop_upstream(session);
  }
  if (send_all(session.client, TUNNEL_ESTABLISHED.data(), TUNNEL_ESTABLISHED.size()) != 0) {
    return close_both(session);
  }
  const std::shared_ptr<const certauth::Leaf> leaf = inspection.leaves->leaf_for(host);
  if (!leaf || !certauth::make_non_blocking(session.client)) return close_both(session);
  session.client_tls = certauth::new_browser_connection(
      inspection.browser_context.get(), session.client, *leaf, inspection.leaves->authority());
  if (session.client_tls == nullptr ||
      !certauth::tls_handshake(session.client_tls, BROWSER_HANDSHAKE_TIMEOUT_MS, &error,
                               &verify_result)) {
    log_activity("ERROR:\t*****HTTPS handshake with the browser for %s failed: %s*****", host,
                 error.c_str());
    return close_both(session);
  }
  session.inspected = true;
  session.framing = RequestFraming();
  return DispatchResult::GO_ON;
}

// A request inside an inspected connection: matched with its real path and
// headers, answered like a plain request, or sent to the origin.
DispatchResult dispatch_inspected(SessionState& session, const RequestLine& line, char* buffer,
                                  std::size_t length) {
  const char* const host = session.host;
  char path[WORK_BUFFER_SIZE];
  copy_text(path, sizeof path, line.path);
  const std::string_view head(buffer, length);
  if (auto answered = act_on_verdict(session, match_request_with_head(host, path, head), "https://",
                                     host, path, false)) {
    return *answered;
  }
  if (session.upstream == INVALID_SOCKET) {
    const std::string page = origin_failure_page(
        host, session.origin_failure[0] != '\0' ? session.origin_failure
                                                : "the connection to the server has ended");
    send_to_client(session, page.data(), page.size());
    return close_both(session);
  }
  if (send_to_upstream(session, buffer, length) != 0) {
    drop_upstream(session);
    session.discarding = !session.framing.at_request_start();
  }
  return DispatchResult::GO_ON;
}

}  // namespace

int send_to_client(SessionState& session, const char* data, std::size_t length) {
  if (session.client_tls != nullptr) {
    return certauth::tls_write_all(session.client_tls, data, length,
                                   SESSION_IDLE_TIMEOUT_SECONDS * 1000);
  }
  return send_all(session.client, data, length);
}

int send_to_upstream(SessionState& session, const char* data, std::size_t length) {
  if (session.upstream_tls != nullptr) {
    return certauth::tls_write_all(session.upstream_tls, data, length,
                                   SESSION_IDLE_TIMEOUT_SECONDS * 1000);
  }
  return send_all(session.upstream, data, length);
}

void close_client(SessionState& session) {
  certauth::tls_close(session.client_tls);
  session.client_tls = nullptr;
  close_socket(session.client);
}

void close_upstream(SessionState& session) {
  certauth::tls_close(session.upstream_tls);
  session.upstream_tls = nullptr;
  close_socket(session.upstream);
  session.upstream = INVALID_SOCKET;
}

DispatchResult dispatch_request(SessionState& session, char* buffer, std::size_t length,
                                bool more_may_come) {
  buffer[length] = '\0';
  const std::string_view piece(buffer, length);

  // An established tunnel carries every further piece unchanged: its bytes
  // (TLS records, whatever the browser tunnels) are never read as requests.
  if (session.tunnel) {
    forward_unchanged(session, buffer, length);
    return DispatchResult::GO_ON;
  }

  // A piece that continues a request under way (the rest of its headers, its
  // body) goes where that request went, whatever it looks like: an upload's
  // bytes are never taken for a request of their own.
  if (!session.framing.at_request_start()) {
    session.framing.follow(piece);
    if (session.discarding) {
      session.discarding = !session.framing.at_request_start();
    } else {
      forward_unchanged(session, buffer, length);
    }
    return DispatchResult::GO_ON;
  }
  session.discarding = false;

  // Inside an inspected connection "GET /" is a request for the origin.
  if (!session.inspected && is_setup_request(piece)) {
    return serve_setup(session, buffer, length, more_may_come);
  }

  // A request line split across reads is read on until it is whole.
  if (more_may_come && piece.find('\n') == std::string_view::npos &&
      may_become_request_line(piece)) {
    return DispatchResult::READ_ON;
  }

  const RequestLine line =
      session.inspected ? parse_inspected_request_line(piece) : parse_request_line(piece);
  if (line.kind == RequestKind::NOT_A_REQUEST) {
    forward_unchanged(session, buffer, length);
    return DispatchResult::GO_ON;
  }
  // Where this request ends, and any after it in the same piece, which goes
  // along with it.
  session.framing.follow(piece);
  if (session.inspected) return dispatch_inspected(session, line, buffer, length);

  const bool tunnel = line.kind == RequestKind::TUNNEL;
  char* const host = session.host;
  copy_text(host, HOST_BUFFER_SIZE, line.host);
  // A CONNECT never reuses a connection; another request only one opened for
  // the very same host text.
  if (session.upstream != INVALID_SOCKET && (tunnel || std::strcmp(host, session.kept_host) != 0)) {
    drop_upstream(session);
  }
  copy_text(session.kept_host, HOST_BUFFER_SIZE, line.host);

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
  const int port = port_of_host(host, &bare_host_length);
  host[bare_host_length] = '\0';

  // Rules of imported lists limited to third-party requests, resource types
  // or pages look at the headers; a tunnel shows none, so it is told nothing.
  const std::string_view head(buffer, length);
  const Verdict verdict = tunnel ? match_request_from(host, path, RequestTraits())
                                 : match_request_with_head(host, path, head);
  if (auto answered = act_on_verdict(session, verdict, "", host, path, tunnel)) {
    return *answered;
  }

  if (tunnel && port == INSPECTED_PORT) {
    const std::shared_ptr<const InspectionState> inspection = current_inspection();
    if (inspection->enabled && certauth::certifiable_host(host) &&
        !passes_through(*inspection, host)) {
      if (auto inspected =
              inspect_connection(session, *inspection, proxy, host, port, session.kept_host)) {
        return *inspected;
      }
    }
  }

  if (session.upstream == INVALID_SOCKET) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    int connect_error = 0;
    if (through_proxy) {
      address.sin_port = htons(proxy.port);
      address.sin_addr.s_addr = proxy.address;
    } else if (port == INVALID_PORT || host[0] == '\0') {
      // No such address: answered like a connect to it, without one.
      connect_error = WSAEADDRNOTAVAIL;
    } else {
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      address.sin_addr.s_addr = resolve_host(host);
    }
    if (connect_error == 0) {
      bool made = false;
      session.upstream = open_upstream(address, &made, &connect_error);
      if (session.upstream == INVALID_SOCKET && !made) {
        // No socket: the request is dropped, the browser may retry.
        session.discarding = !session.framing.at_request_start();
        return DispatchResult::GO_ON;
      }
    }
    if (session.upstream == INVALID_SOCKET) {
      char page[WORK_BUFFER_SIZE];
      const std::size_t page_length =
          compose_connect_failure_page(page, sizeof page, host, connect_error);
      send_to_client(session, page, page_length);
      return close_both(session);
    }
  }

  if (tunnel && !through_proxy) {
    if (send_all(session.client, TUNNEL_ESTABLISHED.data(), TUNNEL_ESTABLISHED.size()) != 0) {
      drop_upstream(session);
      return DispatchResult::GO_ON;
    }
    session.tunnel = true;
    return DispatchResult::GO_ON;
  }
  if (send_all(session.upstream, buffer, length) != 0) {
    drop_upstream(session);
    session.discarding = !session.framing.at_request_start();
    return DispatchResult::GO_ON;
  }
  if (tunnel) session.tunnel = true;
  return DispatchResult::GO_ON;
}
