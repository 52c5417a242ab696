// The end-to-end tests' machine, program, servers and client helpers.
#include "tests/proxy/proxy_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/registry.h"
#include "tests/support/registry.h"

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int listen_on_loopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 512) != 0) {
    close(fd);
    return -1;
  }
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return fd;
}

// Accepts until `stopping` is set, handing each connection to `serve`.
template <class Serve>
void accept_loop(int listen_fd, std::atomic<bool>& stopping, std::mutex& mutex,
                 std::vector<int>& open_fds, std::vector<std::thread>& threads, Serve serve) {
  while (!stopping.load()) {
    pollfd waiting{listen_fd, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) continue;
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex);
    open_fds.push_back(fd);
    threads.emplace_back([serve, fd] { serve(fd); });
  }
}

void stop_servers(int listen_fd, std::atomic<bool>& stopping, std::mutex& mutex,
                  std::vector<int>& open_fds, std::vector<std::thread>& threads,
                  std::thread& acceptor) {
  stopping = true;
  if (acceptor.joinable()) acceptor.join();
  std::vector<std::thread> joining;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (int fd : open_fds) shutdown(fd, SHUT_RDWR);
    joining.swap(threads);
  }
  for (std::thread& t : joining) t.join();
  for (int fd : open_fds) close(fd);
  close(listen_fd);
}

bool send_whole(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The Content-Length of a head, or -1 when it names none.
long content_length(const std::string& head) {
  const std::string low = lower(head);
  const std::size_t at = low.find("\r\ncontent-length:");
  if (at == std::string::npos) return -1;
  return std::strtol(head.c_str() + at + 17, nullptr, 10);
}

// Relays bytes both ways between two sockets until one side closes;
// `record` sees what came from `a`.
void pump(int a, int b, const std::function<void(const char*, std::size_t)>& record) {
  char buffer[65536];
  for (;;) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (poll(fds, 2, 30000) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      if (i == 0) record(buffer, static_cast<std::size_t>(n));
      if (!send_whole(i == 0 ? b : a, buffer, static_cast<std::size_t>(n))) return;
    }
  }
}

int connect_to(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &answer) != 0) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int result = connect(fd, answer->ai_addr, answer->ai_addrlen);
  freeaddrinfo(answer);
  if (result != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

// ---- Machine ----------------------------------------------------------------

ProxyMachine::ProxyMachine() : vmtest::Machine("proxy-e2e") {
  make_install_dir();
  setenv("VELLOMAR_MSGBOX_LOG", box_log().c_str(), 1);
  unsetenv("VELLOMAR_MSGBOX_ANSWER");
}

void ProxyMachine::write_definitions(const std::string& text) {
  vmtest::replace_file(install_dir() / "vellomar.ini", text);
}

void ProxyMachine::enable_logging() {
  vmtest::set_string(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", "Enabled", "1");
}

std::string ProxyMachine::read_log() const {
  return vmtest::read_file(install_dir() / "vellomar.log");
}

std::string ProxyMachine::read_message_boxes() const {
  return vmtest::read_file(box_log());
}

std::string ProxyMachine::sanitizer_reports() const {
  std::string reports;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(root(), ignored)) {
    if (entry.path().filename().string().rfind("sanitizer", 0) == 0) {
      reports += vmtest::read_file(entry.path());
    }
  }
  return reports;
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// ---- ProxyProcess -----------------------------------------------------------

ProxyProcess::ProxyProcess(const ProxyMachine& machine) : machine_(machine) {}

ProxyProcess::~ProxyProcess() {
  if (pid_ > 0) stop();
}

bool ProxyProcess::spawn(bool closed_streams) {
  raise_descriptor_limit();
  setenv("VELLOMAR_PREFIX", machine_.prefix().c_str(), 1);
  // The program points its standard error at /dev/null, so a sanitizer's
  // report goes to files in the machine folder instead.
  const std::string log_path = "log_path=" + (machine_.root() / "sanitizer").string();
  for (const char* name : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* old = std::getenv(name);
    std::string options = old != nullptr ? std::string(old) : std::string();
    if (options.find(log_path) == std::string::npos) {
      options = options.empty() ? log_path : options + " " + log_path;
      setenv(name, options.c_str(), 1);
    }
  }
  const std::string program = std::string(VELLOMAR_BIN_DIR) + "/vellomar";
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  if (closed_streams) {
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addclose(&files, fd);
  }
  const int spawned = posix_spawn(&pid_, program.c_str(), &files, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::string ProxyProcess::descriptor_target(int fd) const {
  std::error_code error;
  const auto target = std::filesystem::read_symlink(
      "/proc/" + std::to_string(pid_) + "/fd/" + std::to_string(fd), error);
  return error ? std::string() : target.string();
}

bool ProxyProcess::start(bool closed_streams) {
  if (!spawn(closed_streams)) return false;
  const auto deadline = Clock::now() + DEFAULT_TIMEOUT;
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    Client probe(PROXY_PORT);
    if (probe.connected()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int ProxyProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

bool ProxyProcess::limit_descriptors(unsigned limit) {
  const rlimit lowered{limit, limit};
  return pid_ > 0 && prlimit(pid_, RLIMIT_NOFILE, &lowered, nullptr) == 0;
}

std::chrono::milliseconds ProxyProcess::cpu_time() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The fields after the command name (which ends in ")"): state is field 3,
  // utime and stime are fields 14 and 15.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number >= 14) ticks += std::stol(field);
  }
  return std::chrono::milliseconds(ticks * 1000 / sysconf(_SC_CLK_TCK));
}

int ProxyProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = wait_exit(DEFAULT_TIMEOUT);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    status = wait_exit(DEFAULT_TIMEOUT);
  }
  return status;
}

// ---- OriginServer -----------------------------------------------------------

OriginServer::OriginServer(Handler handler) : handler_(std::move(handler)) {
  listen_fd_ = listen_on_loopback(&port_);
  acceptor_ = std::thread([this] {
    accept_loop(listen_fd_, stopping_, mutex_, open_fds_, threads_,
                [this](int fd) { serve(fd, ++connections_); });
  });
}

OriginServer::~OriginServer() {
  stop_servers(listen_fd_, stopping_, mutex_, open_fds_, threads_, acceptor_);
}

std::string OriginServer::reply(const std::string& body, const std::string& type) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void OriginServer::serve(int fd, int connection) {
  std::string pending;
  char buffer[65536];
  for (;;) {
    std::size_t head_end;
    while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
    }
    head_end += 4;
    const long body = content_length(pending.substr(0, head_end));
    const std::size_t total = head_end + static_cast<std::size_t>(body > 0 ? body : 0);
    while (pending.size() < total) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string request = pending.substr(0, total);
    pending.erase(0, total);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back({request, connection});
    }
    const std::string answer = handler_ ? handler_(request) : reply("hello from the origin");
    if (!send_whole(fd, answer.data(), answer.size())) return;
    if (lower(request).find("\r\nconnection: close") != std::string::npos) {
      shutdown(fd, SHUT_RDWR);
      return;
    }
  }
}

std::vector<ReceivedRequest> OriginServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool OriginServer::wait_requests(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (requests().size() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// ---- EchoServer -------------------------------------------------------------

EchoServer::EchoServer() {
  listen_fd_ = listen_on_loopback(&port_);
  acceptor_ = std::thread([this] {
    accept_loop(listen_fd_, stopping_, mutex_, open_fds_, threads_, [](int fd) {
      char buffer[65536];
      for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0 || !send_whole(fd, buffer, static_cast<std::size_t>(n))) return;
      }
    });
  });
}

EchoServer::~EchoServer() {
  stop_servers(listen_fd_, stopping_, mutex_, open_fds_, threads_, acceptor_);
}

// ---- ForwardingProxy ----------------------------------------------------------

ForwardingProxy::ForwardingProxy() {
  listen_fd_ = listen_on_loopback(&port_);
  acceptor_ = std::thread([this] {
    accept_loop(listen_fd_, stopping_, mutex_, open_fds_, threads_, [this](int fd) { serve(fd); });
  });
}

ForwardingProxy::~ForwardingProxy() {
  stop_servers(listen_fd_, stopping_, mutex_, open_fds_, threads_, acceptor_);
}

void ForwardingProxy::serve(int fd) {
  std::size_t slot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slot = received_.size();
    received_.emplace_back();
  }
  auto record = [this, slot](const char* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_[slot].append(data, size);
  };
  std::string head;
  char buffer[65536];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<std::size_t>(n));
    record(buffer, static_cast<std::size_t>(n));
  }
  std::istringstream line(head.substr(0, head.find("\r\n")));
  std::string method, target, version;
  line >> method >> target >> version;
  std::string host_port, path;
  if (method == "CONNECT") {
    host_port = target;
  } else if (target.rfind("http://", 0) == 0) {
    const std::size_t slash = target.find('/', 7);
    host_port = target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    path = slash == std::string::npos ? "/" : target.substr(slash);
  } else {
    return;
  }
  const std::size_t colon = host_port.find(':');
  const std::string host = host_port.substr(0, colon);
  const int port = colon == std::string::npos ? 80 : std::atoi(host_port.c_str() + colon + 1);
  const int server = connect_to(host, port);
  if (server < 0) {
    const std::string failed = "HTTP/1.0 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
    send_whole(fd, failed.data(), failed.size());
    return;
  }
  bool ok;
  if (method == "CONNECT") {
    const std::string established = "HTTP/1.0 200 Connection established\r\n\r\n";
    ok = send_whole(fd, established.data(), established.size());
  } else {
    const std::string forwarded =
        method + " " + path + " " + version + head.substr(head.find("\r\n"));
    ok = send_whole(server, forwarded.data(), forwarded.size());
  }
  if (ok) pump(fd, server, record);
  close(server);
}

std::vector<std::string> ForwardingProxy::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool ForwardingProxy::wait_received(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (received_.size() >= count && !received_[count - 1].empty()) return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// ---- Client -----------------------------------------------------------------

Client::Client(int port, const char* address) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address, &target.sin_addr);
  // Connect without blocking for longer than the usual time-out: a proxy
  // that stopped accepting must fail the test, not hang it.
  const int flags = fcntl(fd_, F_GETFL);
  fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  bool connected = connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd waiting{fd_, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected =
        poll(&waiting, 1, static_cast<int>(DEFAULT_TIMEOUT / std::chrono::milliseconds(1))) == 1 &&
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  fcntl(fd_, F_SETFL, flags);
  if (!connected) {
    close(fd_);
    fd_ = -1;
  }
}

Client::~Client() {
  if (fd_ >= 0) close(fd_);
}

Client& Client::operator=(Client&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool Client::send(const std::string& bytes) {
  return fd_ >= 0 && send_whole(fd_, bytes.data(), bytes.size());
}

std::string Client::receive_exactly(std::size_t size, std::chrono::milliseconds timeout) {
  std::string received;
  const auto deadline = Clock::now() + timeout;
  char buffer[65536];
  while (fd_ >= 0 && received.size() < size) {
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, remaining_ms(deadline)) <= 0) break;
    const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, size - received.size()), 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

std::string Client::receive_until_close(std::chrono::milliseconds timeout) {
  std::string received;
  const auto deadline = Clock::now() + timeout;
  char buffer[65536];
  while (fd_ >= 0) {
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, remaining_ms(deadline)) <= 0) break;
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

std::string Client::receive_response(std::chrono::milliseconds timeout) {
  std::string received;
  const auto deadline = Clock::now() + timeout;
  while (received.find("\r\n\r\n") == std::string::npos) {
    const std::string more = receive_exactly(1, std::chrono::milliseconds(remaining_ms(deadline)));
    if (more.empty()) return received;
    received += more;
  }
  const std::size_t head_end = received.find("\r\n\r\n") + 4;
  const long body = content_length(received.substr(0, head_end));
  if (body < 0) {
    return received + receive_until_close(std::chrono::milliseconds(remaining_ms(deadline)));
  }
  const std::size_t total = head_end + static_cast<std::size_t>(body);
  if (received.size() < total) {
    received +=
        receive_exactly(total - received.size(), std::chrono::milliseconds(remaining_ms(deadline)));
  }
  return received;
}

bool Client::closed_by_peer(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  char buffer[4096];
  while (fd_ >= 0) {
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, remaining_ms(deadline)) <= 0) return false;
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
  return false;
}

int refused_port() {
  int port = 0;
  const int fd = listen_on_loopback(&port);
  close(fd);
  return port;
}

std::string body_of(const std::string& response) {
  const std::size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

}  // namespace e2e
