// Request dispatch on socket pairs: what it sends where, which connection it
// keeps, closes or hands back, for the pieces that need no real server.
#include "proxy/dispatch.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "filter/rule_list.h"
#include "proxy/canned_responses.h"
#include "proxy/session.h"
#include "settings/upstream_proxy.h"
#include "tests/support/machine.h"

namespace {

// A machine folder and current directory of the test's own, with a rule
// that blocks one host.
class DispatchEnvironment : public vmtest::MachineEnvironment {
 public:
  DispatchEnvironment() : MachineEnvironment("dispatch") {}

 protected:
  void prepare(vmtest::Machine& machine) override {
    machine.enter(machine.make_install_dir());
    vmtest::write_file("vellomar.ini", "Aads.blocked.test\n");
    reset_upstream_proxy();
    reload_ad_definitions();
  }
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
  explicit Session(int client, int upstream = -1) : state(client) { state.upstream = upstream; }
  SessionState state;
  char buffer[PIECE_SIZE + 1];
  DispatchResult send(const std::string& piece, bool more_may_come = true) {
    std::memcpy(buffer, piece.data(), piece.size());
    return dispatch_request(state, buffer, piece.size(), more_may_come);
  }
  void keep(const char* host) { std::strcpy(state.kept_host, host); }
};

constexpr auto GO_ON = DispatchResult::GO_ON;
constexpr auto READ_ON = DispatchResult::READ_ON;
constexpr auto SESSION_OVER = DispatchResult::SESSION_OVER;
// A function, not a copy made at start-up: the answer is set up in another
// file, in an order of its own.
std::string blocked_answer() {
  return std::string(BLOCKED_IMAGE_ANSWER);
}

TEST(Dispatch, ForwardsPiecesThatAreNoRequestWholeAndUnchanged) {
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  const std::string body("a=1\0\xff&b=2", 9);
  EXPECT_EQ(s.send(body), GO_ON);
  EXPECT_EQ(s.state.upstream, upstream.ours);
  EXPECT_EQ(upstream.drain(), body);
  EXPECT_EQ(client.drain(), "");
}

TEST(Dispatch, LeavesAnUnparsablePieceUnansweredWithoutAnUpstream) {
  Pair client;
  Session s(client.ours);
  EXPECT_EQ(s.send("POST /x HTTP/1.0\r\n\r\n"), GO_ON);
  EXPECT_EQ(s.state.upstream, INVALID_SOCKET);
  EXPECT_EQ(client.drain(), "");
  EXPECT_FALSE(client.closed_by_dispatch());
}

TEST(Dispatch, RoutesRequestsForTheProxyItselfAndEndsTheSession) {
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  EXPECT_EQ(s.send("GET /about/ HTTP/1.0\r\n\r\n"), SESSION_OVER);
  EXPECT_NE(client.drain(), "");
  EXPECT_TRUE(client.closed_by_dispatch());
  EXPECT_TRUE(upstream.closed_by_dispatch());
}

TEST(Dispatch, ABlockedRequestKeepsTheConnectionOfTheSameHost) {
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  s.keep("ads.blocked.test:8080");
  EXPECT_EQ(s.send("GET http://ads.blocked.test:8080/x.gif HTTP/1.1\r\n\r\n"), GO_ON);
  EXPECT_EQ(s.state.upstream, upstream.ours);
  EXPECT_EQ(client.drain(), blocked_answer());
  EXPECT_FALSE(upstream.closed_by_dispatch());
  EXPECT_STREQ(s.state.host, "ads.blocked.test");
  EXPECT_STREQ(s.state.kept_host, "ads.blocked.test:8080");
}

TEST(Dispatch, ABlockedRequestForAnotherHostClosesTheKeptConnection) {
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  s.keep("www.example.com");
  EXPECT_EQ(s.send("GET http://ads.blocked.test/x.gif HTTP/1.1\r\n\r\n"), GO_ON);
  EXPECT_EQ(s.state.upstream, INVALID_SOCKET);
  EXPECT_TRUE(upstream.closed_by_dispatch());
  EXPECT_FALSE(client.closed_by_dispatch());
}

// A host may begin with any byte, even with a control byte or a blank-like
// one: the connection kept for it carries requests that are still parsed and
// matched, never tunnelled bytes passed on unseen.
TEST(Dispatch, AConnectionKeptForAnOddHostIsNoTunnel) {
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  s.keep("\x01odd");
  EXPECT_EQ(s.send("GET http://\x01odd/x HTTP/1.0\r\n\r\n"), GO_ON);
  EXPECT_EQ(upstream.drain(), "GET /x HTTP/1.0\r\n\r\n");
  // The next request on that connection is matched and blocked, not
  // forwarded on the kept connection.
  EXPECT_EQ(s.send("GET http://ads.blocked.test/b.gif HTTP/1.0\r\n\r\n"), GO_ON);
  EXPECT_EQ(s.state.upstream, INVALID_SOCKET);
  EXPECT_EQ(upstream.drain(), "");
  EXPECT_EQ(client.drain(), blocked_answer());
}

TEST(Dispatch, ATunnelNeverReusesAConnection) {
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  s.keep("ads.blocked.test:443");
  EXPECT_EQ(s.send("CONNECT ads.blocked.test:443 HTTP/1.0\r\n\r\n"), GO_ON);
  EXPECT_EQ(s.state.upstream, INVALID_SOCKET);
  EXPECT_EQ(client.drain(), std::string(BLOCKED_TUNNEL_PAGE));
  EXPECT_TRUE(upstream.closed_by_dispatch());
  EXPECT_STREQ(s.state.host, "ads.blocked.test");
}

// A loopback listener the tests may connect to; records nothing.
struct Listener {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  Listener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, 4);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
  }
  ~Listener() { close(fd); }
  // The next connection made to it, or -1 when none is waiting.
  int accept_waiting() const {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 ? accept(fd, nullptr, nullptr) : -1;
  }
};

TEST(Dispatch, AnEstablishedTunnelCarriesEveryPieceUnchanged) {
  const Listener server;
  const std::string target = "127.0.0.1:" + std::to_string(server.port);
  Pair client;
  Session s(client.ours);
  ASSERT_EQ(s.send("CONNECT " + target + " HTTP/1.0\r\n\r\n"), GO_ON);
  const int tunnel = s.state.upstream;
  ASSERT_GE(tunnel, 0);
  EXPECT_EQ(client.drain(), std::string(TUNNEL_ESTABLISHED));
  const int far_end = server.accept_waiting();

  // A TLS record whose fifth byte is "/", and bytes that read like requests.
  const std::string pieces[] = {
      std::string("\x17\x03\x03\x00/ABCDEFG", 12), "GET /about/ HTTP/1.0\r\n\r\n",
      "GET http://" + target + "/x HTTP/1.0\r\n\r\n", "CONNECT other:443 HTTP/1.0\r\n\r\n"};
  for (const std::string& piece : pieces) {
    EXPECT_EQ(s.send(piece), GO_ON);
    EXPECT_EQ(s.state.upstream, tunnel);
    std::string got(piece.size(), '\0');
    EXPECT_EQ(recv(far_end, got.data(), got.size(), MSG_WAITALL),
              static_cast<ssize_t>(piece.size()));
    EXPECT_EQ(got, piece);
  }
  EXPECT_EQ(client.drain(), "");
  close(tunnel);
  close(far_end);
}

// The pieces of a body go where their request went, whatever they look like:
// bytes that read as a request for the setup pages included.
struct BodyCase {
  const char* name;
  std::string head;                 // request line and headers
  std::vector<std::string> pieces;  // the body as it arrives, after the head
};

class BodyPieces : public testing::TestWithParam<BodyCase> {};

TEST_P(BodyPieces, AreForwardedUnchangedAndNeverServedLocally) {
  const BodyCase& c = GetParam();
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  s.keep("site.test");
  ASSERT_EQ(s.send("POST http://site.test/form HTTP/1.1\r\n" + c.head), GO_ON);
  upstream.drain();
  for (const std::string& piece : c.pieces) {
    EXPECT_EQ(s.send(piece), GO_ON) << piece;
    EXPECT_EQ(upstream.drain(), piece);
  }
  EXPECT_EQ(client.drain(), "");
  EXPECT_TRUE(s.state.framing.at_request_start());
  // The connection goes on with requests after the body.
  EXPECT_EQ(s.send("GET http://site.test/next HTTP/1.1\r\n\r\n"), GO_ON);
  EXPECT_EQ(upstream.drain(), "GET /next HTTP/1.1\r\n\r\n");
}

const std::string SETUP_LOOKALIKE =
    "GET /?log=log&save=Save HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Framings, BodyPieces,
    testing::Values(
        BodyCase{"ContentLength",
                 "Content-Length: " + std::to_string(SETUP_LOOKALIKE.size() + 14) + "\r\n\r\n",
                 {"abc=/definitio", SETUP_LOOKALIKE}},
        BodyCase{"HeadersSplitToo", "Content-Le", {"ngth: 5\r\n\r\n", "abc=/"}},
        BodyCase{"Chunked",
                 "Transfer-Encoding: gzip, chunked\r\n\r\n",
                 {"5\r\nabc=/\r\n", "3a;x=y\r\n" + SETUP_LOOKALIKE.substr(0, 58) + "\r\n",
                  "0\r\nX-Trailer: 1\r\n\r\n"}}),
    [](const testing::TestParamInfo<BodyCase>& info) { return info.param.name; });

TEST(Dispatch, TheBodyOfABlockedRequestIsDropped) {
  Pair client, upstream;
  Session s(client.ours, upstream.ours);
  s.keep("ads.blocked.test");
  EXPECT_EQ(s.send("POST http://ads.blocked.test/x.gif HTTP/1.1\r\nContent-Length: 12\r\n\r\n"),
            GO_ON);
  EXPECT_EQ(client.drain(), blocked_answer());
  EXPECT_EQ(s.send("GET /about/ "), GO_ON);  // the body, not a setup request
  EXPECT_EQ(upstream.drain(), "");
  EXPECT_EQ(client.drain(), "");
  EXPECT_TRUE(s.state.framing.at_request_start());
}

// Dispatch waits for a whole request line, and for a setup request's whole
// header block, before it acts; it cannot wait when no more bytes may come.
struct ReadOnCase {
  std::string piece;
  DispatchResult with_more;
};

class ReadOn : public testing::TestWithParam<ReadOnCase> {};

TEST_P(ReadOn, UntilTheRequestLineOrSetupHeadersAreWhole) {
  Pair client;
  Session s(client.ours);
  EXPECT_EQ(s.send(GetParam().piece, true), GetParam().with_more);
  EXPECT_EQ(client.drain(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, ReadOn,
    testing::Values(ReadOnCase{"G", READ_ON}, ReadOnCase{"GET", READ_ON},
                    ReadOnCase{"GET http://127.0.0.1:80", READ_ON},
                    ReadOnCase{"CONNECT host:443 HTTP/1.1", READ_ON},
                    ReadOnCase{"GET /proxy/?host=x&port=1 HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n",
                               READ_ON},
                    // Nothing a request line could grow from: handled at once.
                    ReadOnCase{std::string("\x16\x03\x01", 3), GO_ON},
                    ReadOnCase{" GET http://h/", GO_ON}));

TEST(Dispatch, ASetupRequestTooLargeToJudgeWholeChangesNothing) {
  Pair client;
  Session s(client.ours);
  std::string piece = "GET /?log=log&save=Save&x=" + std::string(PIECE_SIZE, 'a');
  piece.resize(PIECE_SIZE);
  EXPECT_EQ(s.send(piece, false), SESSION_OVER);
  EXPECT_EQ(client.drain().substr(0, 17), "HTTP/1.0 431 Requ");
  EXPECT_TRUE(client.closed_by_dispatch());
}

// A request target's port is 1 to 65535 in digits alone and its host is
// never empty; anything else is answered as an invalid address, and no
// connection is made (not to a port the number wraps round to, either).
class BadTarget : public testing::TestWithParam<std::string> {};

TEST_P(BadTarget, GetsTheConnectFailurePageWithoutAConnection) {
  const Listener server;
  // P stands for the listener's port, W for the number that wraps round to it.
  std::string target = GetParam();
  const std::size_t at = target.find_first_of("PW");
  target.replace(at, 1, std::to_string(server.port + (target[at] == 'W' ? 65536 : 0)));
  Pair client;
  Session s(client.ours);
  EXPECT_EQ(s.send("GET http://" + target + "/x HTTP/1.1\r\n\r\n"), SESSION_OVER);
  char page[32768];
  const std::string host = target.substr(0, target.find(':'));
  const std::size_t size = compose_connect_failure_page(page, sizeof page, host.c_str(), 10049);
  EXPECT_EQ(client.drain(), std::string(page, size));
  EXPECT_EQ(server.accept_waiting(), -1);
}

INSTANTIATE_TEST_SUITE_P(Targets, BadTarget,
                         testing::Values("127.0.0.1:W", "127.0.0.1:Pabc", ":P", "127.0.0.1:+P",
                                         "127.0.0.1:-P", "127.0.0.1:P0000000"));

}  // namespace
