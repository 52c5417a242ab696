// The listening socket: a restarted program binds at once, a second
// listener on the same port is still refused.
#include "proxy/listener.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback port that was free a moment ago.
int free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  close(s);
  return ntohs(address.sin_port);
}

TEST(OpenListenSocket, RefusesASecondListenerOnThePort) {
  const int port = free_port();
  const SOCKET first = open_listen_socket("127.0.0.1", port);
  ASSERT_NE(first, INVALID_SOCKET);
  EXPECT_EQ(open_listen_socket("127.0.0.1", port), INVALID_SOCKET);
  close_socket(first);
}

TEST(OpenListenSocket, BindsAgainAtOnceWhileAnAcceptedConnectionLingers) {
  const int port = free_port();
  SOCKET listener = open_listen_socket("127.0.0.1", port);
  ASSERT_NE(listener, INVALID_SOCKET);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const SOCKET accepted = accept(listener, nullptr, nullptr);
  // The server side closes first: its end of the connection lingers.
  close_socket(accepted);
  close_socket(listener);
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, 0), 0);
  close(client);
  listener = open_listen_socket("127.0.0.1", port);
  EXPECT_NE(listener, INVALID_SOCKET);
  close_socket(listener);
}

TEST(OpenListenSocket, FailsForAnAddressThatIsNotOurs) {
  EXPECT_EQ(open_listen_socket("192.0.2.1", free_port()), INVALID_SOCKET);
}

}  // namespace
