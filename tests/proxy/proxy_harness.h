// What the end-to-end tests of the proxy stand on: a machine folder of their
// own with the installation folder and its definitions file, the real
// vellomar program started on it, an origin web server and a forwarding
// upstream proxy that record the exact bytes they receive, and small
// blocking socket helpers for the browser side.
//
// Each test program runs in a network namespace of its own (it links
// vm_test_own_network), so its port 8000 and loopback traffic meet nobody
// else's.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/machine.h"

namespace e2e {

constexpr int PROXY_PORT = 8000;
constexpr auto DEFAULT_TIMEOUT = std::chrono::seconds(10);

// ---- the machine and the program ------------------------------------------

// The test's machine with "C:\Program Files\Vellomar" inside, removed again
// at destruction. This process points at it, so the test reads and writes the
// same registry the program uses, and the program's message boxes go to the
// machine's box log.
class ProxyMachine : public vmtest::Machine {
 public:
  ProxyMachine();
  // Replaces vellomar.ini in the installation folder (aside, then renamed).
  void write_definitions(const std::string& text);
  void enable_logging();
  std::string read_log() const;            // "" while there is none
  std::string read_message_boxes() const;  // JSON lines of the boxes shown
  // What a sanitizer reported in the programs started on this machine (when
  // the tests are built with one), "" when nothing.
  std::string sanitizer_reports() const;
};

// The vellomar program, started without arguments on a machine.
class ProxyProcess {
 public:
  explicit ProxyProcess(const ProxyMachine& machine);
  ~ProxyProcess();  // stops it if still running
  // Starts the program; returns when 127.0.0.1:8000 accepts (true) or the
  // program ended or the time-out passed (false). With `closed_streams` the
  // program starts with descriptors 0 to 2 closed.
  bool start(bool closed_streams = false);
  // Starts the program without waiting for anything.
  bool spawn(bool closed_streams = false);
  // Where the program's descriptor `fd` leads ("/dev/null", "socket:[…]").
  std::string descriptor_target(int fd) const;
  // Waits for the program to end by itself; its exit status, or -1.
  int wait_exit(std::chrono::milliseconds timeout);
  // SIGTERM and wait; the exit status.
  int stop();
  pid_t pid() const { return pid_; }
  // Lowers the running program's open-file limit (soft and hard).
  bool limit_descriptors(unsigned limit);
  // Processor time the program has used so far (user and system).
  std::chrono::milliseconds cpu_time() const;

 private:
  const ProxyMachine& machine_;
  pid_t pid_ = -1;
};

// Raises this process's open-file limit to its hard limit (inherited by the
// programs it starts).
void raise_descriptor_limit();

// ---- servers started by the test ------------------------------------------

struct ReceivedRequest {
  std::string bytes;  // the request exactly as received: head and body
  int connection;     // which accepted connection it came on (from 1)
};

// A small threaded HTTP/1.1 origin server on an ephemeral loopback port. Each
// request is read (head, then a body by Content-Length) and answered by the
// handler; connections stay open for further requests until the client
// closes or sends "Connection: close".
class OriginServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;
  explicit OriginServer(Handler handler = nullptr);
  ~OriginServer();
  int port() const { return port_; }
  int connections() const { return connections_.load(); }
  std::vector<ReceivedRequest> requests() const;
  // Waits until `count` requests have arrived.
  bool wait_requests(std::size_t count, std::chrono::milliseconds timeout = DEFAULT_TIMEOUT) const;

  // An answer with a body and its Content-Length.
  static std::string reply(const std::string& body, const std::string& type = "text/plain");

 private:
  void serve(int fd, int connection);
  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<ReceivedRequest> requests_;
  std::vector<int> open_fds_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// Echoes every byte back; for tunnels.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  int port() const { return port_; }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<int> open_fds_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// A forwarding proxy: takes absolute-form requests (and CONNECT), records the
// first piece of each connection exactly as received, connects to the named
// host and port and relays both ways unchanged (the request line rewritten to
// origin form towards the server, as proxies do).
class ForwardingProxy {
 public:
  ForwardingProxy();
  ~ForwardingProxy();
  int port() const { return port_; }
  std::vector<std::string> received() const;
  bool wait_received(std::size_t count, std::chrono::milliseconds timeout = DEFAULT_TIMEOUT) const;

 private:
  void serve(int fd);
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::vector<int> open_fds_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// ---- the browser side -----------------------------------------------------

// A connected client socket, closed at destruction.
class Client {
 public:
  Client() = default;
  explicit Client(int port, const char* address = "127.0.0.1");
  ~Client();
  Client(Client&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Client& operator=(Client&& other) noexcept;
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(const std::string& bytes);
  // Reads until `size` bytes have arrived, the peer closed, or the time-out.
  std::string receive_exactly(std::size_t size,
                              std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
  // Reads until the peer closes (or the time-out).
  std::string receive_until_close(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
  // Reads one HTTP response: head, then Content-Length bytes of body.
  std::string receive_response(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
  // True when the peer closed the connection within the time-out.
  bool closed_by_peer(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);

 private:
  int fd_ = -1;
};

// A loopback port on which nothing listens (connecting is refused).
int refused_port();

// The body of an HTTP response (after the blank line).
std::string body_of(const std::string& response);

}  // namespace e2e
