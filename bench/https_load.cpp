// https_load: HTTPS keep-alive load, straight to an origin or through an
// HTTP proxy's CONNECT tunnel, with N connections (a thread each) for a
// fixed time. Prints one line: requests per second, requests, errors and
// how many connections had to be opened again (a peer that closed a kept
// connection).
//
//   https_load --host H --port P --ca FILE [--proxy HOST:PORT] [--path /1k]
//              [--connections N] [--seconds S]
//
// The server's certificate is verified against FILE and the host (an
// address by IP, a name by DNS name with SNI), as a browser would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 443;
  std::string ca;
  std::string proxy_host;
  int proxy_port = 0;
  std::string path = "/1k";
  int connections = 1;
  double seconds = 5;
};

std::atomic<long> total_requests{0};
std::atomic<long> total_errors{0};
std::atomic<long> total_reconnects{0};

int tcp_connect(const std::string& host, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Sends CONNECT and reads the proxy's answer up to its blank line (its
// lines may end with LF alone).
bool open_tunnel(int fd, const Options& o) {
  std::string request = "CONNECT " + o.host + ":" + std::to_string(o.port) +
                        " HTTP/1.1\r\nHost: " + o.host + ":" + std::to_string(o.port) + "\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != (ssize_t)request.size()) {
    return false;
  }
  std::string answer;
  char c;
  while (answer.size() < 4096 && answer.find("\r\n\r\n") == std::string::npos &&
         answer.find("\n\n") == std::string::npos) {
    if (recv(fd, &c, 1, 0) != 1) return false;
    answer += c;
  }
  return answer.find(" 200 ") != std::string::npos;
}

struct Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string buffer;  // read but not yet used
  ~Connection() { drop(); }
  void drop() {
    if (ssl != nullptr) SSL_free(ssl);
    if (fd >= 0) close(fd);
    ssl = nullptr;
    fd = -1;
    buffer.clear();
  }
};

bool open_connection(SSL_CTX* ctx, const Options& o, Connection* c) {
  c->drop();
  const bool tunnel = !o.proxy_host.empty();
  c->fd = tunnel ? tcp_connect(o.proxy_host, o.proxy_port) : tcp_connect(o.host, o.port);
  if (c->fd < 0 || (tunnel && !open_tunnel(c->fd, o))) return false;
  c->ssl = SSL_new(ctx);
  in_addr ip;
  if (inet_pton(AF_INET, o.host.c_str(), &ip) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl), o.host.c_str());
  } else {
    SSL_set_tlsext_host_name(c->ssl, o.host.c_str());
    SSL_set1_host(c->ssl, o.host.c_str());
  }
  SSL_set_fd(c->ssl, c->fd);
  if (SSL_connect(c->ssl) != 1) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
      std::fprintf(stderr, "https_load: handshake failed: %s\n",
                   X509_verify_cert_error_string(SSL_get_verify_result(c->ssl)));
    }
    return false;
  }
  return true;
}

bool fill(Connection* c) {
  char chunk[16384];
  int got = SSL_read(c->ssl, chunk, sizeof chunk);
  if (got <= 0) return false;
  c->buffer.append(chunk, got);
  return true;
}

// One GET and its whole reply; false when the connection failed or closed.
bool one_request(Connection* c, const std::string& request, bool* keep) {
  if (SSL_write(c->ssl, request.data(), static_cast<int>(request.size())) <= 0) return false;
  std::size_t end;
  while ((end = c->buffer.find("\r\n\r\n")) == std::string::npos) {
    if (c->buffer.size() > 65536 || !fill(c)) return false;
  }
  const std::string head = c->buffer.substr(0, end);
  if (head.compare(0, 9, "HTTP/1.1 ") != 0 && head.compare(0, 9, "HTTP/1.0 ") != 0) return false;
  if (head.compare(9, 3, "200") != 0) return false;
  std::size_t length_at = head.find("Content-Length:");
  if (length_at == std::string::npos) length_at = head.find("content-length:");
  if (length_at == std::string::npos) return false;
  const std::size_t length = std::strtoul(head.c_str() + length_at + 15, nullptr, 10);
  *keep = head.find("Connection: close") == std::string::npos &&
          head.find("connection: close") == std::string::npos &&
          head.compare(0, 8, "HTTP/1.0") != 0;
  while (c->buffer.size() < end + 4 + length) {
    if (!fill(c)) return false;
  }
  c->buffer.erase(0, end + 4 + length);
  return true;
}

void worker(SSL_CTX* ctx, const Options& o, Clock::time_point until) {
  const std::string request =
      "GET " + o.path + " HTTP/1.1\r\nHost: " + o.host + "\r\nUser-Agent: https_load\r\n\r\n";
  Connection c;
  long requests = 0;
  bool first = true;
  while (Clock::now() < until) {
    if (c.ssl == nullptr) {
      if (!first) ++total_reconnects;
      first = false;
      if (!open_connection(ctx, o, &c)) {
        ++total_errors;
        c.drop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
    }
    bool keep = true;
    if (!one_request(&c, request, &keep)) {
      ++total_errors;
      c.drop();
      continue;
    }
    ++requests;
    if (!keep) c.drop();
  }
  total_requests += requests;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: https_load --host H --port P --ca FILE [--proxy HOST:PORT] [--path P]\n"
               "                  [--connections N] [--seconds S]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) usage();
    std::string v = argv[++i];
    if (a == "--host") {
      o.host = v;
    } else if (a == "--port") {
      o.port = std::atoi(v.c_str());
    } else if (a == "--ca") {
      o.ca = v;
    } else if (a == "--proxy") {
      std::size_t colon = v.rfind(':');
      if (colon == std::string::npos) usage();
      o.proxy_host = v.substr(0, colon);
      o.proxy_port = std::atoi(v.c_str() + colon + 1);
    } else if (a == "--path") {
      o.path = v;
    } else if (a == "--connections") {
      o.connections = std::atoi(v.c_str());
    } else if (a == "--seconds") {
      o.seconds = std::atof(v.c_str());
    } else {
      usage();
    }
  }
  if (o.ca.empty() || o.connections < 1 || o.seconds <= 0) usage();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  static const unsigned char alpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  SSL_CTX_set_alpn_protos(ctx, alpn, sizeof alpn);
  if (SSL_CTX_load_verify_locations(ctx, o.ca.c_str(), nullptr) != 1) {
    std::fprintf(stderr, "https_load: cannot read %s\n", o.ca.c_str());
    return 1;
  }
  const auto start = Clock::now();
  const auto until =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  std::vector<std::thread> threads;
  for (int i = 0; i < o.connections; ++i) threads.emplace_back(worker, ctx, std::cref(o), until);
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("rps %.0f requests %ld errors %ld reconnects %ld\n", total_requests / elapsed,
              total_requests.load(), total_errors.load(), total_reconnects.load());
  SSL_CTX_free(ctx);
  return total_requests > 0 ? 0 : 1;
}
