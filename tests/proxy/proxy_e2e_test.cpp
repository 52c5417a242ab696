// The proxy end to end: the real program on 127.0.0.1:8000, a real origin
// server and a forwarding upstream proxy started by the test, and raw sockets
// on the browser side.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filter/definitions_parser.h"
#include "platform/registry.h"
#include "proxy/canned_responses.h"
#include "tests/proxy/proxy_harness.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// Blocks everything on this made-up host (never resolved: the proxy answers
// it itself).
constexpr char BLOCKED_HOST[] = "ads.blocked.test";
const std::string BLOCKING_RULES = std::string("A") + BLOCKED_HOST + "\n";

class ProxyTest : public testing::Test {
 protected:
  // Starts the program with the given definitions file.
  void start(const std::string& definitions = BLOCKING_RULES, bool logging = false) {
    machine_.write_definitions(definitions);
    if (logging) machine_.enable_logging();
    ASSERT_TRUE(proxy_.start()) << "vellomar did not start listening on port 8000";
  }

  void TearDown() override {
    proxy_.stop();
    EXPECT_EQ(machine_.sanitizer_reports(), "");
  }

  static std::string get(const std::string& url, const std::string& extra_headers = "") {
    return "GET " + url + " HTTP/1.1\r\nHost: x\r\nUser-Agent: e2e\r\n" + extra_headers + "\r\n";
  }
  static std::string url_on(int port, const std::string& path, const char* host = "127.0.0.1") {
    return "http://" + std::string(host) + ":" + std::to_string(port) + path;
  }

  ProxyMachine machine_;
  ProxyProcess proxy_{machine_};
};

TEST_F(ProxyTest, RewritesAbsoluteRequestsToOriginFormByteForByte) {
  OriginServer origin;
  start();
  Client browser(PROXY_PORT);
  const std::string head =
      "Host: 127.0.0.1\r\nAccept: */*\r\nX-Odd:  spaced\tvalue \r\nContent-Length: 5\r\n\r\n";
  const std::string body("ab\0cd", 5);
  ASSERT_TRUE(browser.send("POST " + url_on(origin.port(), "/a/b?c=d&e=%20") + " HTTP/1.1\r\n" +
                           head + body));
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  ASSERT_TRUE(origin.wait_requests(1));
  EXPECT_EQ(origin.requests()[0].bytes, "POST /a/b?c=d&e=%20 HTTP/1.1\r\n" + head + body);
}

TEST_F(ProxyTest, ForwardsAHeaderBlockFarLargerThan4096BytesIntact) {
  OriginServer origin;
  start();
  Client browser(PROXY_PORT);
  std::string cookies;
  for (int i = 0; i < 100; ++i)
    cookies += "Cookie: c" + std::to_string(i) + "=" + std::string(90, 'v') + "\r\n";
  ASSERT_GT(cookies.size(), 10000u);
  ASSERT_TRUE(browser.send(get(url_on(origin.port(), "/big"), cookies)));
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  ASSERT_TRUE(origin.wait_requests(1));
  EXPECT_EQ(origin.requests()[0].bytes, get("/big", cookies));
}

TEST_F(ProxyTest, KeepsTheUpstreamConnectionOnlyForTheSameHostText) {
  OriginServer origin;
  start();
  Client browser(PROXY_PORT);
  const std::vector<const char*> hosts = {"127.0.0.1", "127.0.0.1", "localhost", "LOCALHOST",
                                          "LOCALHOST"};
  for (const char* host : hosts) {
    ASSERT_TRUE(browser.send(get(url_on(origin.port(), "/r", host))));
    EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin") << host;
  }
  ASSERT_TRUE(origin.wait_requests(hosts.size()));
  const auto requests = origin.requests();
  // Same host text: same connection; any difference, letter case included,
  // opens a new one.
  EXPECT_EQ(requests[0].connection, requests[1].connection);
  EXPECT_NE(requests[1].connection, requests[2].connection);
  EXPECT_NE(requests[2].connection, requests[3].connection);
  EXPECT_EQ(requests[3].connection, requests[4].connection);
  EXPECT_EQ(origin.connections(), 3);
}

TEST_F(ProxyTest, TunnelsCarryBytesBothWays) {
  EchoServer echo;
  start();
  Client browser(PROXY_PORT);
  ASSERT_TRUE(browser.send("CONNECT 127.0.0.1:" + std::to_string(echo.port()) +
                           " HTTP/1.0\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(browser.receive_exactly(TUNNEL_ESTABLISHED.size()), std::string(TUNNEL_ESTABLISHED));
  // Bytes that are no request, binary ones among them, and far more than one
  // piece.
  std::string payload;
  for (int i = 0; i < 200000; ++i) payload += static_cast<char>((i * 7) % 256);
  std::thread sender([&] { browser.send(payload); });
  const std::string echoed = browser.receive_exactly(payload.size());
  sender.join();
  EXPECT_TRUE(echoed == payload) << "echoed " << echoed.size() << " of " << payload.size();
  // Tunnelled bytes are never read as requests: a TLS record whose fifth
  // byte is "/", and text that reads like a request for the setup pages.
  for (const std::string& piece : {std::string("\x17\x03\x03\x00/0123456789", 15),
                                   std::string("GET /about/ HTTP/1.0\r\n\r\n")}) {
    ASSERT_TRUE(browser.send(piece));
    EXPECT_EQ(browser.receive_exactly(piece.size()), piece);
  }
}

struct CannedCase {
  const char* name;
  std::string request;
  std::string expected;
  bool closes;  // the proxy ends the connection after the answer
};

class CannedAnswerTest : public ProxyTest, public testing::WithParamInterface<CannedCase> {};

TEST_P(CannedAnswerTest, ArrivesByteForByte) {
  start(BLOCKING_RULES + "UNEWS.EXAMPLE.COM/pop.gif\n");
  const CannedCase& c = GetParam();
  Client browser(PROXY_PORT);
  ASSERT_TRUE(browser.send(c.request));
  EXPECT_EQ(browser.receive_exactly(c.expected.size()), c.expected);
  if (c.closes) {
    EXPECT_TRUE(browser.closed_by_peer());
  } else {
    EXPECT_FALSE(browser.closed_by_peer(200ms)) << "the browser connection stays open";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CannedAnswerTest,
    testing::Values(
        CannedCase{"BlockedImage", "GET http://ads.blocked.test/banner.gif HTTP/1.1\r\n\r\n",
                   std::string(BLOCKED_IMAGE_HEADER) + std::string(BLOCKED_IMAGE), false},
        CannedCase{"BlockedTunnel", "CONNECT ads.blocked.test:443 HTTP/1.0\r\n\r\n",
                   std::string(BLOCKED_TUNNEL_PAGE), false},
        CannedCase{"CloseWindowByRule", "GET http://NEWS.EXAMPLE.COM/pop.gif HTTP/1.0\r\n\r\n",
                   std::string(CLOSE_WINDOW_PAGE), true},
        CannedCase{"CloseWindowBuiltIn",
                   "GET http://home.netscape.com/computing/download/smartdownload/ib/index.html "
                   "HTTP/1.0\r\n\r\n",
                   std::string(CLOSE_WINDOW_PAGE), true},
        CannedCase{"Reload", "GET http://vellomar.reload/ HTTP/1.0\r\n\r\n",
                   std::string(RELOAD_PAGE), true}),
    [](const testing::TestParamInfo<CannedCase>& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  bool unresolvable;
  int code;
};

class ConnectFailureTest : public ProxyTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(ConnectFailureTest, AnswersWithTheExplanatoryPage) {
  start();
  const FailureCase& c = GetParam();
  const std::string host = c.unresolvable ? "no-such-host.invalid" : "127.0.0.1";
  const int port = refused_port();
  Client browser(PROXY_PORT);
  ASSERT_TRUE(browser.send(get("http://" + host + ":" + std::to_string(port) + "/x")));
  char expected[32768];
  const std::size_t length =
      compose_connect_failure_page(expected, sizeof expected, host.c_str(), c.code);
  EXPECT_EQ(browser.receive_until_close(), std::string(expected, length));
}

INSTANTIATE_TEST_SUITE_P(Failures, ConnectFailureTest,
                         testing::Values(FailureCase{"RefusedPort", false, 10061},
                                         FailureCase{"UnresolvableName", true, 10049}),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(ProxyTest, TheReloadHostRereadsTheDefinitions) {
  OriginServer origin;
  start("F/banner.gif\n");
  {
    Client browser(PROXY_PORT);
    browser.send(get(url_on(origin.port(), "/banner.gif")));
    EXPECT_EQ(browser.receive_exactly(BLOCKED_IMAGE_HEADER.size() + BLOCKED_IMAGE.size()),
              std::string(BLOCKED_IMAGE_HEADER) + std::string(BLOCKED_IMAGE));
  }
  machine_.write_definitions("F/other.gif\n");
  {
    Client browser(PROXY_PORT);
    browser.send(get("http://vellomar.reload/anything"));
    EXPECT_EQ(browser.receive_until_close(), std::string(RELOAD_PAGE));
  }
  Client browser(PROXY_PORT);
  browser.send(get(url_on(origin.port(), "/banner.gif")));
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  browser.send(get(url_on(origin.port(), "/other.gif")));
  EXPECT_EQ(browser.receive_exactly(BLOCKED_IMAGE_HEADER.size()),
            std::string(BLOCKED_IMAGE_HEADER));
}

TEST_F(ProxyTest, AProxyLineSendsRequestsThroughTheUpstreamProxyUnchanged) {
  OriginServer origin;
  ForwardingProxy upstream;
  // Through an upstream proxy the matcher sees " *HTTPS*" as the path: the F
  // rule no longer applies, the U rule written with the marker does.
  start(
      "P127.0.0.1:" + std::to_string(upstream.port()) + "\nF/banner.gif\nUads.other.test *HTTPS*\n",
      true);
  Client browser(PROXY_PORT);
  const std::string request = get(url_on(origin.port(), "/banner.gif"));
  ASSERT_TRUE(browser.send(request));
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  ASSERT_TRUE(upstream.wait_received(1));
  EXPECT_EQ(upstream.received()[0], request);
  ASSERT_TRUE(origin.wait_requests(1));

  Client tunnel(PROXY_PORT);
  const std::string connect =
      "CONNECT 127.0.0.1:" + std::to_string(origin.port()) + " HTTP/1.0\r\n\r\n";
  ASSERT_TRUE(tunnel.send(connect));
  EXPECT_EQ(tunnel.receive_exactly(39), "HTTP/1.0 200 Connection established\r\n\r\n");
  ASSERT_TRUE(upstream.wait_received(2));
  EXPECT_EQ(upstream.received()[1], connect);

  Client blocked(PROXY_PORT);
  blocked.send(get("http://ads.other.test/x.gif"));
  EXPECT_EQ(blocked.receive_exactly(BLOCKED_IMAGE_HEADER.size()),
            std::string(BLOCKED_IMAGE_HEADER));
  std::this_thread::sleep_for(100ms);
  EXPECT_NE(machine_.read_log().find("Blocked Ad: ads.other.test *HTTPS*"), std::string::npos);
  EXPECT_NE(machine_.read_log().find("Using proxy server 127.0.0.1 on port " +
                                     std::to_string(upstream.port()) + "."),
            std::string::npos);
}

TEST_F(ProxyTest, NeutralisesPopupScriptInARealReply) {
  const std::string page =
      "<html><body ONUNLOAD=\"x()\"><script>Window.Open('a'); window.open('b');</script>"
      "</body></html>";
  OriginServer origin([&](const std::string&) { return OriginServer::reply(page, "text/html"); });
  start("O<127.0.0.1\nL$127.0.0\n", true);
  Client browser(PROXY_PORT);
  browser.send(get(url_on(origin.port(), "/page.html")));
  EXPECT_EQ(body_of(browser.receive_response()),
            "<html><body //UNLOAD=\"x()\"><script>//ndow.Open('a'); //ndow.open('b');</script>"
            "</body></html>");
  std::this_thread::sleep_for(100ms);
  const std::string log = machine_.read_log();
  std::size_t lines = 0;
  for (std::size_t at = log.find("Blocked Popup: 127.0.0.1"); at != std::string::npos;
       at = log.find("Blocked Popup: 127.0.0.1", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 3u);
}

struct ShortReplyCase {
  std::string sent;
  std::string received;
};

class ShortReplyTest : public ProxyTest, public testing::WithParamInterface<ShortReplyCase> {};

// Reply pieces of 10 bytes or fewer are relayed without a pop-up scan.
TEST_P(ShortReplyTest, IsScannedOnlyAbove10Bytes) {
  const std::string sent = GetParam().sent;
  OriginServer origin([&](const std::string&) { return sent; });
  start("L<127.0.0.1\n");
  Client browser(PROXY_PORT);
  browser.send(get(url_on(origin.port(), "/short")));
  EXPECT_EQ(browser.receive_exactly(sent.size()), GetParam().received);
}

INSTANTIATE_TEST_SUITE_P(Pieces, ShortReplyTest,
                         testing::Values(ShortReplyCase{"onunload()", "onunload()"},
                                         ShortReplyCase{"onunload();", "//unload();"}),
                         [](const testing::TestParamInfo<ShortReplyCase>& info) {
                           return "Bytes" + std::to_string(info.param.sent.size());
                         });

TEST_F(ProxyTest, LogsWhatItBlocksAndBadRequests) {
  start(BLOCKING_RULES, true);
  Client browser(PROXY_PORT);
  browser.send(get("http://ads.blocked.test:8080/banner.gif"));
  browser.receive_exactly(BLOCKED_IMAGE_HEADER.size() + BLOCKED_IMAGE.size());
  Client bad(PROXY_PORT);
  bad.send("POST /x HTTP/1.0\r\n\r\n");
  // Not a request the proxy can serve: logged and left unanswered, open.
  EXPECT_FALSE(bad.closed_by_peer(300ms));
  const std::string log = machine_.read_log();
  EXPECT_NE(log.find(": ***************** Vellomar Started *****************\r\n"),
            std::string::npos);
  EXPECT_NE(log.find(": Winsock Version 2.2 initialized\r\n"), std::string::npos);
  EXPECT_NE(log.find(": Bound to port 8000 (127.0.0.1)\r\n"), std::string::npos);
  EXPECT_NE(log.find(": Blocked Ad: ads.blocked.test/banner.gif\r\n"), std::string::npos);
  EXPECT_NE(log.find(": ERROR:\t*****Bad Request Received***** POST /x HTTP/1.0"),
            std::string::npos);
}

TEST_F(ProxyTest, ServesANormalRequestWith1500ConnectionsOpen) {
  OriginServer origin;
  start();
  std::vector<Client> idle;
  idle.reserve(1500);
  const std::string blocked = std::string(BLOCKED_IMAGE_HEADER) + std::string(BLOCKED_IMAGE);
  // A proxy that cannot wait on high descriptors answers late or never; the
  // bound keeps such a failure from running into the harness's time-out.
  const auto give_up = std::chrono::steady_clock::now() + 120s;
  for (int i = 0; i < 1500; ++i) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "stalled at connection " << i;
    idle.emplace_back(PROXY_PORT);
    ASSERT_TRUE(idle.back().connected()) << "connection " << i;
    // One answered request each: its session is running before the next
    // connection comes (the listen backlog is small).
    ASSERT_TRUE(idle.back().send(get("http://ads.blocked.test/i.gif")));
    ASSERT_EQ(idle.back().receive_exactly(blocked.size(), 5s), blocked) << "connection " << i;
  }
  // Every idle connection holds a session; the next one's descriptors lie
  // far above 1024 in the proxy.
  Client browser(PROXY_PORT);
  ASSERT_TRUE(browser.send(get(url_on(origin.port(), "/after-many"))));
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  // And the idle ones are still served too.
  ASSERT_TRUE(idle.back().send(get("http://ads.blocked.test/b.gif")));
  EXPECT_EQ(idle.back().receive_exactly(BLOCKED_IMAGE_HEADER.size()),
            std::string(BLOCKED_IMAGE_HEADER));
}

TEST_F(ProxyTest, OutOfDescriptorsItWaitsWithoutSpinningAndRecovers) {
  start();
  ASSERT_TRUE(proxy_.limit_descriptors(48));
  const std::string blocked = std::string(BLOCKED_IMAGE_HEADER) + std::string(BLOCKED_IMAGE);
  const std::string request = get("http://ads.blocked.test/b.gif");
  // Sessions until the proxy can take no more: the next connection waits,
  // unanswered, in the listen queue.
  std::vector<Client> served;
  std::unique_ptr<Client> waiting;
  for (int i = 0; i < 60 && !waiting; ++i) {
    auto client = std::make_unique<Client>(PROXY_PORT);
    ASSERT_TRUE(client->connected());
    ASSERT_TRUE(client->send(request));
    if (client->receive_exactly(blocked.size(), 1s) == blocked) {
      served.push_back(std::move(*client));
    } else {
      waiting = std::move(client);
    }
  }
  ASSERT_TRUE(waiting) << "the descriptor limit was never reached";
  // Every accept fails now. A loop that retries at once burns a whole
  // processor; with its pause it uses next to nothing.
  const auto before = proxy_.cpu_time();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(proxy_.cpu_time() - before, 500ms);
  // Sessions that end give their descriptors back: the waiting connection is
  // then served.
  served.erase(served.begin(), served.begin() + 5);
  EXPECT_EQ(waiting->receive_exactly(blocked.size(), 5s), blocked);
}

TEST_F(ProxyTest, BlockedImagesDoNotWaitForDelayedAcknowledgements) {
  start();
  Client browser(PROXY_PORT);
  const std::string expected = std::string(BLOCKED_IMAGE_HEADER) + std::string(BLOCKED_IMAGE);
  // With Nagle's algorithm on, each image's second send waits for the
  // browser's delayed acknowledgement (about 40 ms); 30 in a row would take
  // more than a second.
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(browser.send(get("http://ads.blocked.test/b" + std::to_string(i) + ".gif")));
    ASSERT_EQ(browser.receive_exactly(expected.size()), expected);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 600ms);
}

TEST_F(ProxyTest, ReloadsWhileClientsRequestThroughTheProxy) {
  OriginServer origin;
  ForwardingProxy upstream;
  // Each reload swaps the rule list and turns the upstream proxy off and on
  // again while the clients' sessions match and connect.
  start("F/blocked.gif\nP127.0.0.1:" + std::to_string(upstream.port()) + "\n");
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < 40 && failures == 0; ++i) {
        Client browser(PROXY_PORT);
        const bool blocked = (i + c) % 2 == 0;
        browser.send(get(url_on(origin.port(), blocked ? "/blocked.gif" : "/page")));
        // Blocked locally or passed to the origin (directly, or through the
        // upstream proxy, where the path rule does not apply): either way a
        // whole answer.
        const std::string answer = browser.receive_response(5s);
        if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) ++failures;
      }
    });
  }
  int reloads = 0;
  std::thread reloader([&] {
    while (!done) {
      Client browser(PROXY_PORT);
      browser.send(get("http://vellomar.reload/"));
      if (browser.receive_until_close() != RELOAD_PAGE) ++failures;
      ++reloads;
    }
  });
  for (std::thread& t : clients) t.join();
  done = true;
  reloader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(reloads, 1);
}

TEST_F(ProxyTest, ASecondCopyCannotBindThePortAndTheFirstGoesOn) {
  OriginServer origin;
  start();
  ProxyProcess second(machine_);
  ASSERT_TRUE(second.spawn());
  EXPECT_EQ(second.wait_exit(10s), 255);
  EXPECT_NE(machine_.read_message_boxes().find("Port 8000 is already in use...Exiting..."),
            std::string::npos);
  Client browser(PROXY_PORT);
  browser.send(get(url_on(origin.port(), "/still-here")));
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
}

TEST_F(ProxyTest, ARestartBindsThePortAtOnceWhileOldConnectionsLinger) {
  start();
  // Answers that end the connection leave it lingering (TIME_WAIT) on the
  // proxy's side of port 8000.
  for (int i = 0; i < 3; ++i) {
    Client browser(PROXY_PORT);
    browser.send(get("http://vellomar.reload/"));
    EXPECT_EQ(browser.receive_until_close(), RELOAD_PAGE);
  }
  EXPECT_EQ(proxy_.stop(), 0);
  ASSERT_TRUE(proxy_.start()) << machine_.read_message_boxes();
  Client browser(PROXY_PORT);
  browser.send(get("http://ads.blocked.test/b.gif"));
  EXPECT_EQ(browser.receive_exactly(BLOCKED_IMAGE_HEADER.size()),
            std::string(BLOCKED_IMAGE_HEADER));
}

TEST_F(ProxyTest, StandardStreamsNeverBecomeBrowserConnections) {
  machine_.write_definitions(BLOCKING_RULES);
  // Started with descriptors 0 to 2 closed, as a desktop may start it: they
  // must lead to /dev/null, not to the next sockets.
  ASSERT_TRUE(proxy_.start(true));
  Client browser(PROXY_PORT);
  browser.send(get("http://ads.blocked.test/b.gif"));
  EXPECT_EQ(browser.receive_exactly(BLOCKED_IMAGE_HEADER.size()),
            std::string(BLOCKED_IMAGE_HEADER));
  for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ(proxy_.descriptor_target(fd), "/dev/null") << fd;
}

TEST_F(ProxyTest, RequestsForTheProxyItselfEndTheConnection) {
  start();
  Client browser(PROXY_PORT);
  browser.send("GET /about/ HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(browser.closed_by_peer());
}

// ---- hostile and unlucky input ---------------------------------------------

class HostileInputTest : public ProxyTest {
 protected:
  std::string definitions() const {
    return vmtest::read_file(machine_.install_dir() / "vellomar.ini");
  }
};

// The setup pages judge a request by its whole header block: a target long
// enough to push a foreign Host out of the first read changes nothing, and
// neither does one whose headers arrive in a later read.
TEST_F(HostileInputTest, ForeignSetupRequestsChangeNothingHoweverTheyArrive) {
  start();
  const std::string before = definitions();
  const std::string line = "GET /definitions/?settings=Agone&x=";
  const std::string version = " HTTP/1.1\r\n";
  const std::string foreign = "Host: evil.test:8000\r\nOrigin: http://evil.test\r\n\r\n";
  {
    // The request line ends just inside the first 32 KiB, the headers beyond.
    Client browser(PROXY_PORT);
    browser.send(line + std::string(32760 - line.size() - version.size(), 'a') + version + foreign);
    EXPECT_EQ(browser.receive_until_close().substr(0, 12), "HTTP/1.0 431");
  }
  {
    Client browser(PROXY_PORT);
    browser.send(line + version);
    std::this_thread::sleep_for(100ms);
    browser.send(foreign);
    EXPECT_EQ(browser.receive_until_close().substr(0, 12), "HTTP/1.0 403");
  }
  EXPECT_EQ(definitions(), before);
}

// A body that arrives in a read of its own and reads like a request for the
// setup pages goes to the origin with its request, whole.
TEST_F(HostileInputTest, ABodyThatLooksLikeASetupRequestReachesTheOrigin) {
  OriginServer origin;
  start();
  const std::string before = definitions();
  for (const std::string& body :
       {std::string("abc=/?log=log&save=Save"),
        std::string("abc=/definitions/?settings=Agone HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n")}) {
    Client browser(PROXY_PORT);
    const std::string head = "POST " + url_on(origin.port(), "/f") +
                             " HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                             "Content-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    browser.send(head);
    std::this_thread::sleep_for(100ms);
    browser.send(body);
    EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  }
  ASSERT_TRUE(origin.wait_requests(2));
  EXPECT_EQ(body_of(origin.requests()[1].bytes).substr(0, 27), "abc=/definitions/?settings=");
  EXPECT_EQ(definitions(), before);
  EXPECT_EQ(machine_.read_log(), "");  // logging was not switched on
}

// Every piece of an upload has "/" as its fifth byte: all of it must arrive.
TEST_F(HostileInputTest, UploadsArriveWholeWhateverTheirBytes) {
  OriginServer origin;
  start();
  Client browser(PROXY_PORT);
  const std::string body(2 << 20, '/');
  std::thread sender([&] {
    browser.send("POST " + url_on(origin.port(), "/up") +
                 " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\n\r\n" + body);
  });
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  sender.join();
  ASSERT_TRUE(origin.wait_requests(1));
  EXPECT_TRUE(body_of(origin.requests()[0].bytes) == body);
}

// A request line split across reads, in two parts or byte by byte, is
// answered, and for the port it names.
class SplitRequestLineTest : public HostileInputTest,
                             public testing::WithParamInterface<std::chrono::milliseconds> {};

TEST_P(SplitRequestLineTest, IsReadOnUntilWhole) {
  OriginServer origin;
  start();
  Client browser(PROXY_PORT);
  const std::string request = get(url_on(origin.port(), "/split"));
  // In two parts inside the port number, or one byte at a time.
  const std::size_t first = request.find(':', 10) + 2;
  if (GetParam() > 100ms) {
    browser.send(request.substr(0, first));
    std::this_thread::sleep_for(GetParam());
    browser.send(request.substr(first));
  } else {
    for (char c : request) {
      browser.send(std::string(1, c));
      std::this_thread::sleep_for(GetParam());
    }
  }
  EXPECT_EQ(body_of(browser.receive_response()), "hello from the origin");
  ASSERT_TRUE(origin.wait_requests(1));
  EXPECT_EQ(origin.requests()[0].bytes, get("/split"));
}

INSTANTIATE_TEST_SUITE_P(Gaps, SplitRequestLineTest, testing::Values(300ms, 2ms));

// A browser that ends its side after the request still gets the reply.
TEST_F(HostileInputTest, AHalfClosedBrowserGetsTheWholeReply) {
  OriginServer origin([](const std::string&) {
    std::this_thread::sleep_for(200ms);
    return OriginServer::reply("late reply");
  });
  start();
  Client browser(PROXY_PORT);
  browser.send(get(url_on(origin.port(), "/slow")));
  ::shutdown(browser.fd(), SHUT_WR);
  EXPECT_EQ(body_of(browser.receive_response()), "late reply");
}

TEST_F(ProxyTest, WritesTheRunEntryAndEndsOnSigterm) {
  HKEY run = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &run, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(run);
  start();
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_READ, &run),
            ERROR_SUCCESS);
  char value[64] = {};
  DWORD type = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(
      RegQueryValueExA(run, "Vellomar", nullptr, &type, reinterpret_cast<BYTE*>(value), &size),
      ERROR_SUCCESS);
  RegCloseKey(run);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 39u);
  EXPECT_STREQ(value, "C:\\Program Files\\Vellomar\\Vellomar.exe");
  // Stopped once it serves: a stop while the start-up still reads the
  // definitions ends the process with that file open, which the leak checker
  // of a sanitizer build reports.
  Client browser(PROXY_PORT);
  browser.send(get("http://vellomar.reload/"));
  EXPECT_EQ(browser.receive_until_close(), RELOAD_PAGE);
  EXPECT_EQ(proxy_.stop(), 0);
  Client refused(PROXY_PORT);
  EXPECT_FALSE(refused.connected());
}

}  // namespace
