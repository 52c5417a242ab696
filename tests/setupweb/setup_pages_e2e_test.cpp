// The setup pages as the running main program serves them on 127.0.0.1:8000:
// the bytes on the wire, and what requests made by other sites may change.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "settings/registry_settings.h"
#include "tests/support/machine.h"
#include "tests/support/transcribed_pages.h"

extern char** environ;

namespace {

using namespace setup_test;

int connect_8000() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Sends `request` and reads until the proxy closes the connection.
std::string exchange(const std::string& request) {
  const int s = connect_8000();
  if (s < 0) return "<no connection>";
  timeval timeout{20, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  send(s, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[65536];
  ssize_t n;
  while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
  close(s);
  return answer;
}

// The main program with its own machine folder, for the whole suite.
class RunningProxy : public vmtest::InstallDirTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(connect_8000(), -1) << "port 8000 is already taken";
    put_file("Vellomar.ini", "Aads.example.com\r\n");
    const std::string program = std::string(VELLOMAR_BIN_DIR) + "/vellomar";
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ), 0) << program;
    for (int i = 0; i < 200; ++i) {
      const int s = connect_8000();
      if (s >= 0) {
        close(s);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "vellomar did not open port 8000";
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
    }
  }
  pid_t pid_ = -1;
};

TEST_F(RunningProxy, GeneralPageOnTheWire) {
  EXPECT_EQ(exchange("GET / HTTP/1.0\r\n\r\n"),
            OK_HEAD + framed(NAV_GENERAL, general_content("", "", ""), "") + "\n");
}

TEST_F(RunningProxy, AboutPageFromABrowser) {
  EXPECT_EQ(exchange("GET /about/ HTTP/1.1\r\nHost: localhost:8000\r\nSec-Fetch-Site: none\r\n"
                     "User-Agent: test\r\n\r\n"),
            OK_HEAD + framed(NAV_ABOUT, ABOUT_CONTENT, "") + "\n");
}

TEST_F(RunningProxy, NotFoundPage) {
  const std::string answer = exchange("GET /Proxy/ HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 24), "HTTP/1.0 404 Not Found\r\n");
  EXPECT_NE(answer.find("Page not found: (http://127.0.0.1:8000/Proxy/)."), std::string::npos);
}

TEST_F(RunningProxy, GeneralSubmissionWritesTheSwitches) {
  exchange(
      "GET /?ie=ie&log=log&save=Save HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n"
      "Referer: http://127.0.0.1:8000/\r\nSec-Fetch-Site: same-origin\r\n\r\n");
  EXPECT_EQ(read_setting_number("Software\\Vellomar\\Install", "Internet Explorer"), 1);
  EXPECT_EQ(read_setting_number("Software\\Vellomar\\Install", "Netscape"), 0);
  EXPECT_EQ(read_setting_number("Software\\Vellomar\\Log", "Enabled"), 1);
}

TEST_F(RunningProxy, CrossSiteProxyRequestChangesNothing) {
  write_proxy_setting("127.0.0.1", 3128);
  const std::string answer = exchange(
      "GET /proxy/?host=x&port=1 HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n"
      "Sec-Fetch-Site: cross-site\r\nReferer: http://attacker.example/\r\n\r\n");
  StoredProxySetting stored{};
  ASSERT_TRUE(read_proxy_setting(&stored));
  EXPECT_STREQ(stored.host, "127.0.0.1");
  EXPECT_EQ(stored.port, 3128);
  EXPECT_NE(answer.find(proxy_content("", "127.0.0.1", "3128")), std::string::npos);
}

TEST_F(RunningProxy, ReboundHostGetsNoPage) {
  const std::string answer =
      exchange("GET /definitions/?settings=Agone HTTP/1.1\r\nHost: rebound.example:8000\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 24), "HTTP/1.0 403 Forbidden\r\n");
  EXPECT_EQ(answer.find("<html>"), std::string::npos);
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Aads.example.com\r\n");
}

TEST_F(RunningProxy, SaveFromATool) {
  exchange("GET /definitions/?settings=Hello+World%21 HTTP/1.0\r\nHost: 127.0.0.1:8000\r\n\r\n");
  EXPECT_EQ(file_bytes("Vellomar.ini"), "Hello World!");
}

}  // namespace
