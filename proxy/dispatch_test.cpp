// Request dispatch on socket pairs: what it sends where, which connection it
// keeps, closes or hands back, for the pieces that need no real server.
#include "proxy/dispatch.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "filter/rule_list.h"
#include "proxy/canned_responses.h"
#include "settings/upstream_proxy.h"

namespace {

// A machine folder and current directory of the test's own, with a rule
// that blocks one host.
class DispatchEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/vellomar-dispatch-test-XXXXXX";
    folder_ = mkdtemp(pattern);
    setenv("VELLOMAR_PREFIX", folder_.c_str(), 1);
    std::ofstream(folder_ + "/vellomar.ini") << "Aads.blocked.test\n";
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
    reset_upstream_proxy();
    reload_ad_definitions();
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(folder_);
  }

 private:
  std::string folder_;
  std::filesystem::path previous_;
};
const testing::Environment* const dispatch_environment =
    testing::AddGlobalTestEnvironment(new DispatchEnvironment);

// One end is handed to dispatch, the other is the test's view of the peer.
struct Pair {
  int ours = -1;
  int peer = -1;
  Pair() {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    ours = fds[0];
    peer = fds[1];
  }
  ~Pair() {
    // Dispatch closes with a shutdown first, so the peer reading end of
    // stream tells that our end is gone (its number may be reused already).
    if (!closed_by_dispatch()) close(ours);
    close(peer);
  }
  // Everything waiting at the peer, without blocking.
  std::string drain() const {
    std::string got;
    char buffer[65536];
    for (;;) {
      const ssize_t n = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return got;
      got.append(buffer, static_cast<std::size_t>(n));
    }
  }
  // True when dispatch closed its end (the peer reads end of stream).
  bool closed_by_dispatch() const {
    drain();
    char byte;
    return recv(peer, &byte, 1, MSG_DONTWAIT) == 0;
  }
};

struct Session {
  char buffer[32769];
  char host[HOST_BUFFER_SIZE] = "";
  char last_host[HOST_BUFFER_SIZE] = "";
  std::size_t put(const std::string& piece) {
    std::memcpy(buffer, piece.data(), piece.size());
    return piece.size();
  }
};

TEST(Dispatch, ForwardsPiecesThatAreNoRequestWholeAndUnchanged) {
  Pair client, upstream;
  Session s;
  const std::string body("a=1\0\xff&b=2", 9);
  const int result =
      dispatch_request(client.ours, upstream.ours, s.buffer, s.put(body), s.host, s.last_host);
  EXPECT_EQ(result, upstream.ours);
  EXPECT_EQ(upstream.drain(), body);
  EXPECT_EQ(client.drain(), "");
}

TEST(Dispatch, LeavesAnUnparsablePieceUnansweredWithoutAnUpstream) {
  Pair client;
  Session s;
  EXPECT_EQ(dispatch_request(client.ours, -1, s.buffer, s.put("POST /x HTTP/1.0\r\n\r\n"), s.host,
                             s.last_host),
            -1);
  EXPECT_EQ(client.drain(), "");
  EXPECT_FALSE(client.closed_by_dispatch());
}

TEST(Dispatch, RoutesRequestsForTheProxyItselfAndEndsTheSession) {
  Pair client, upstream;
  Session s;
  EXPECT_EQ(dispatch_request(client.ours, upstream.ours, s.buffer,
                             s.put("GET /about/ HTTP/1.0\r\n\r\n"), s.host, s.last_host),
            SESSION_OVER);
  EXPECT_NE(client.drain(), "");
  EXPECT_TRUE(client.closed_by_dispatch());
  EXPECT_TRUE(upstream.closed_by_dispatch());
}

TEST(Dispatch, ABlockedRequestKeepsTheConnectionOfTheSameHost) {
  Pair client, upstream;
  Session s;
  std::strcpy(s.last_host, "ads.blocked.test:8080");
  EXPECT_EQ(dispatch_request(client.ours, upstream.ours, s.buffer,
                             s.put("GET http://ads.blocked.test:8080/x.gif HTTP/1.1\r\n\r\n"),
                             s.host, s.last_host),
            upstream.ours);
  EXPECT_EQ(client.drain(), std::string(BLOCKED_IMAGE_HEADER) + std::string(BLOCKED_IMAGE));
  EXPECT_FALSE(upstream.closed_by_dispatch());
  EXPECT_STREQ(s.host, "ads.blocked.test");
  EXPECT_STREQ(s.last_host, "ads.blocked.test:8080");
}

TEST(Dispatch, ABlockedRequestForAnotherHostClosesTheKeptConnection) {
  Pair client, upstream;
  Session s;
  std::strcpy(s.last_host, "www.example.com");
  EXPECT_EQ(dispatch_request(client.ours, upstream.ours, s.buffer,
                             s.put("GET http://ads.blocked.test/x.gif HTTP/1.1\r\n\r\n"), s.host,
                             s.last_host),
            -1);
  EXPECT_TRUE(upstream.closed_by_dispatch());
  EXPECT_FALSE(client.closed_by_dispatch());
}

// A host may begin with any byte but a blank, even with a control byte: the
// connection kept for it carries requests that are still parsed and
// matched, never tunnelled bytes passed on unseen.
TEST(Dispatch, AConnectionKeptForAnOddHostIsNoTunnel) {
  Pair client, upstream;
  Session s;
  std::strcpy(s.last_host, "\x01odd");
  EXPECT_EQ(dispatch_request(client.ours, upstream.ours, s.buffer,
                             s.put("GET http://\x01odd/x HTTP/1.0\r\n\r\n"), s.host, s.last_host),
            upstream.ours);
  EXPECT_EQ(upstream.drain(), "GET /x HTTP/1.0\r\n\r\n");
  // The next request on that connection is matched and blocked, not
  // forwarded on the kept connection.
  EXPECT_EQ(dispatch_request(client.ours, upstream.ours, s.buffer,
                             s.put("GET http://ads.blocked.test/b.gif HTTP/1.0\r\n\r\n"), s.host,
                             s.last_host),
            -1);
  EXPECT_EQ(upstream.drain(), "");
  EXPECT_EQ(client.drain(), std::string(BLOCKED_IMAGE_HEADER) + std::string(BLOCKED_IMAGE));
}

TEST(Dispatch, ATunnelNeverReusesAConnection) {
  Pair client, upstream;
  Session s;
  std::strcpy(s.last_host, "ads.blocked.test:443");
  EXPECT_EQ(
      dispatch_request(client.ours, upstream.ours, s.buffer,
                       s.put("CONNECT ads.blocked.test:443 HTTP/1.0\r\n\r\n"), s.host, s.last_host),
      -1);
  EXPECT_EQ(client.drain(), std::string(BLOCKED_TUNNEL_PAGE));
  EXPECT_TRUE(upstream.closed_by_dispatch());
  EXPECT_STREQ(s.host, "ads.blocked.test");
}

TEST(Dispatch, AnEstablishedTunnelCarriesEveryPieceUnchanged) {
  // A server that only accepts: the tunnel's target.
  const int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server, 4), 0);
  socklen_t size = sizeof address;
  getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  Pair client;
  Session s;
  const int tunnel =
      dispatch_request(client.ours, -1, s.buffer, s.put("CONNECT " + target + " HTTP/1.0\r\n\r\n"),
                       s.host, s.last_host);
  ASSERT_GE(tunnel, 0);
  EXPECT_EQ(client.drain(), std::string(TUNNEL_ESTABLISHED));
  const int far_end = accept(server, nullptr, nullptr);

  // A TLS record whose fifth byte is "/", and bytes that read like requests.
  const std::string pieces[] = {
      std::string("\x17\x03\x03\x00/ABCDEFG", 12), "GET /about/ HTTP/1.0\r\n\r\n",
      "GET http://" + target + "/x HTTP/1.0\r\n\r\n", "CONNECT other:443 HTTP/1.0\r\n\r\n"};
  for (const std::string& piece : pieces) {
    EXPECT_EQ(dispatch_request(client.ours, tunnel, s.buffer, s.put(piece), s.host, s.last_host),
              tunnel);
    std::string got(piece.size(), '\0');
    EXPECT_EQ(recv(far_end, got.data(), got.size(), MSG_WAITALL),
              static_cast<ssize_t>(piece.size()));
    EXPECT_EQ(got, piece);
  }
  EXPECT_EQ(client.drain(), "");
  close(tunnel);
  close(far_end);
  close(server);
}

}  // namespace
