// Sockets, named as the original desktop's socket library names them, over
// the POSIX calls. socket, bind, listen, accept, recv, send, setsockopt,
// shutdown, htons, ntohs and inet_addr are the POSIX functions themselves
// (brought in by this header); what differs is given here.
//
// Errors: after a failing call, WSAGetLastError() gives the original's error
// number for the calling thread's errno (ECONNREFUSED 10061, ETIMEDOUT 10060,
// ENETUNREACH 10051, EHOSTUNREACH 10065, EADDRNOTAVAIL 10049, ENETDOWN 10050,
// EINTR 10004); any other errno is passed through unchanged.
//
// Three helpers the proxy and the setup pages build on sit beside the calls:
// send_all, close_socket and resolve_host.
//
// Every call here is safe from several threads at once.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int SD_BOTH = SHUT_RDWR;

constexpr int WSAEINTR = 10004;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;

struct WSADATA {
  WORD wVersion;      // the version granted: major in the low byte, minor in the high byte
  WORD wHighVersion;  // the highest version the library offers
};

// Starts the socket library; grants version 2.2 to any request of 1.1 or
// later. Returns 0, or an error number for a request below 1.1.
int WSAStartup(WORD version_requested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();

// Closes a socket; -1 is ignored.
int closesocket(SOCKET s);

// Connects a stream socket to an IPv4 address (both fields of `address` in
// network byte order), blocking with the system's own time-out. The all-ones
// address, which an unresolvable name gives, fails with WSAEADDRNOTAVAIL as it
// does on the original. Returns 0, or SOCKET_ERROR with WSAGetLastError() set.
int connect_socket(SOCKET s, const sockaddr_in& address);

// Waits until `first` or `second` (either may be -1: not watched) has data to
// read, the peer has closed, or an error is pending, for at most
// `timeout_seconds`. Unlike select() it takes descriptors of any number.
// Returns the number of sockets ready (0 on time-out) and sets *first_ready and
// *second_ready; SOCKET_ERROR on failure, with WSAGetLastError() WSAEINTR when
// a signal interrupted the wait.
int wait_readable(SOCKET first, SOCKET second, int timeout_seconds, bool* first_ready,
                  bool* second_ready);

// Looks a host name up (thread-safe: getaddrinfo) and stores the first IPv4
// address of the answer, in network byte order. Returns 0, or -1 when the
// name has no IPv4 address.
int lookup_ipv4(const char* name, std::uint32_t* address);

// What resolve_host gives for a name it cannot resolve (the all-ones address,
// which connect_socket refuses).
constexpr std::uint32_t RESOLVE_FAILED = 0xFFFFFFFFu;

// The IPv4 address of a name or dotted address, network byte order: 0 for a
// null or empty name, RESOLVE_FAILED when it cannot be resolved. A dotted
// address is taken as it stands, without a look-up.
std::uint32_t resolve_host(const char* name);

// Shuts a socket down both ways and closes it; -1 is ignored.
void close_socket(SOCKET s);

// Sends `length` bytes whole; 0 when all was sent, -1 on the first failure.
// A length of 0 makes one empty send.
int send_all(SOCKET s, const char* data, std::size_t length);
