// Imported lists end to end: vmlists adds a list while the program runs, the
// program reloads, and the list's rules block through port 8000 for plain
// HTTP and for tunnels; its exceptions, its third-party limits and its
// resource-type limits (by the Accept header) hold; the user's own rules still
// decide; removing the list unblocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "proxy/canned_responses.h"
#include "tests/proxy/proxy_harness.h"

using namespace e2e;

namespace {

class ListsE2E : public testing::Test {
 protected:
  void TearDown() override {
    proxy_.stop();
    EXPECT_EQ(machine_.sanitizer_reports(), "");
  }
  // Runs vmlists on the test's machine; its exit status.
  int vmlists(const std::string& arguments) {
    std::string command = std::string(VELLOMAR_BIN_DIR) + "/vmlists " + arguments + " 2>/dev/null";
    return WEXITSTATUS(std::system(command.c_str()));
  }
  std::string fetch(const std::string& request) {
    Client browser(PROXY_PORT);
    browser.send(request);
    return browser.receive_response(std::chrono::seconds(5));
  }
  static std::string get(int port, const std::string& path, const std::string& headers = "") {
    return "GET http://127.0.0.1:" + std::to_string(port) + path + " HTTP/1.1\r\nHost: x\r\n" +
           headers + "\r\n";
  }

  ProxyMachine machine_;
  ProxyProcess proxy_{machine_};
};

TEST_F(ListsE2E, ASubscribedListBlocksUntilRemoved) {
  OriginServer origin;
  EchoServer echo;
  machine_.write_definitions("U<127.0.0.1/ads/ok/user\n");
  ASSERT_TRUE(proxy_.start());
  const std::string list = (machine_.prefix() / "list.txt").string();
  std::ofstream(list) << "[Adblock Plus 2.0]\n||127.0.0.1/ads/\n@@||127.0.0.1/ads/ok/\n"
                         "/tracker.$third-party\n||localhost^\n/pixel.$image\n";
  const std::string blocked_image(BLOCKED_IMAGE_ANSWER);
  const std::string connect =
      "CONNECT localhost:" + std::to_string(echo.port()) + " HTTP/1.0\r\n\r\n";

  EXPECT_NE(fetch(get(origin.port(), "/ads/x.gif")), blocked_image);
  ASSERT_EQ(vmlists("add " + list + " test"), 0);
  EXPECT_EQ(fetch(get(origin.port(), "/ads/x.gif")), blocked_image);
  EXPECT_NE(fetch(get(origin.port(), "/ads/ok/x.gif")), blocked_image);
  EXPECT_EQ(fetch(get(origin.port(), "/ads/ok/user.gif")), blocked_image);  // the user's rule
  EXPECT_EQ(fetch(get(origin.port(), "/tracker.js", "Referer: http://news.example/\r\n")),
            blocked_image);
  EXPECT_NE(fetch(get(origin.port(), "/tracker.js", "Referer: http://127.0.0.1/\r\n")),
            blocked_image);
  EXPECT_EQ(fetch(get(origin.port(), "/pixel.gif", "Accept: image/avif,image/webp,*/*\r\n")),
            blocked_image);
  EXPECT_NE(fetch(get(origin.port(), "/pixel.gif", "Accept: text/html,*/*;q=0.8\r\n")),
            blocked_image);
  {
    Client tunnel(PROXY_PORT);
    tunnel.send(connect);
    EXPECT_EQ(tunnel.receive_exactly(BLOCKED_TUNNEL_PAGE.size()), BLOCKED_TUNNEL_PAGE);
  }

  ASSERT_EQ(vmlists("remove test"), 0);
  EXPECT_NE(fetch(get(origin.port(), "/ads/x.gif")), blocked_image);
  Client tunnel(PROXY_PORT);
  tunnel.send(connect);
  EXPECT_EQ(tunnel.receive_exactly(TUNNEL_ESTABLISHED.size()), TUNNEL_ESTABLISHED);
}

TEST_F(ListsE2E, AFileThatIsNotAListChangesNothing) {
  ASSERT_TRUE(proxy_.start());
  const std::string bad = (machine_.prefix() / "bad.bin").string();
  std::ofstream(bad, std::ios::binary) << std::string(
      "\x7f"
      "ELF\0\0\1",
      7);
  EXPECT_EQ(vmlists("add " + bad), 1);
  EXPECT_EQ(vmlists("remove nothing"), 1);
  EXPECT_EQ(vmlists("frobnicate"), 2);
  EXPECT_FALSE(std::ifstream(machine_.install_dir() / "Lists" / "bad.ini").good());
}

}  // namespace
