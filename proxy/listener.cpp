// The proxy thread: prepares the process, starts the socket library,
// registers the program to start at log-on, binds 127.0.0.1:8000, applies the
// stored upstream proxy, loads the ad definitions and then accepts browser
// connections for as long as the process lives, one session thread each.
#include "proxy/listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "filter/matcher.h"
#include "filter/rule_list.h"
#include "platform/msgbox.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "proxy/inspection.h"
#include "proxy/session.h"
#include "settings/activity_log.h"
#include "settings/message_box.h"
#include "settings/product.h"
#include "settings/registry_settings.h"
#include "settings/upstream_proxy.h"

namespace {

// How long the accept loop rests when the process or the system is out of
// descriptors: long enough not to spin, short enough to go on promptly once
// sessions end.
constexpr long ACCEPT_BACKOFF_MILLISECONDS = 10;

// The proxy's own part of ending after a fatal failure; the rest (the tray
// icon, the window, the exit) belongs to whoever started the thread.
[[noreturn]] void end_after_fatal_failure(const ProxyStart* start) {
  WSACleanup();
  if (start != nullptr && start->on_fatal_failure != nullptr) {
    start->on_fatal_failure(FATAL_EXIT_STATUS);
  }
  std::fflush(nullptr);
  std::_Exit(FATAL_EXIT_STATUS);
}

void write_run_entry() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  RegSetValueExA(key, RUN_VALUE_NAME, 0, REG_SZ, reinterpret_cast<const BYTE*>(RUN_COMMAND),
                 sizeof RUN_COMMAND);
  RegCloseKey(key);
}

void set_no_delay(SOCKET s) {
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

int start_winsock() {
  WSADATA data{};
  if (WSAStartup(0x0202, &data) != 0 && WSAStartup(0x0101, &data) != 0) return -1;
  log_activity("Winsock Version %d.%d initialized", data.wVersion & 0xFF,
               (data.wVersion >> 8) & 0xFF);
  return 0;
}

SOCKET open_listen_socket(const char* host, int port) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return INVALID_SOCKET;
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = resolve_host(host);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, LISTEN_BACKLOG) != 0) {
    close_socket(s);
    return INVALID_SOCKET;
  }
  return s;
}

void accept_connections(SOCKET listen_socket) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    const SOCKET client = accept(listen_socket, reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (client < 0) {
      const int error = errno;
      log_activity("ERROR:\t*****Accept Failed!*****");
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        const timespec pause{0, ACCEPT_BACKOFF_MILLISECONDS * 1000 * 1000};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    // Replies are relayed piece by piece; with Nagle's algorithm on, a small
    // last piece would wait for the browser's delayed acknowledgement.
    set_no_delay(client);
    void* argument = reinterpret_cast<void*>(static_cast<std::intptr_t>(client));
    if (start_thread(run_session, argument) != 0) run_session(argument);
  }
}

void proxy_thread_main(void* start_argument) {
  const ProxyStart* const start = static_cast<const ProxyStart*>(start_argument);
  log_activity("***************** Vellomar Started *****************");
  // Descriptors 0 to 2 stay taken by /dev/null, so that no socket gets them
  // and no stray write reaches a browser.
  detach_standard_streams();

  if (start_winsock() != 0) {
    show_message(MB_ICONHAND, "Can't start Windows Sockets...Exiting...");
    end_after_fatal_failure(start);
  }

  write_run_entry();

  const SOCKET listen_socket = open_listen_socket(LISTEN_ADDRESS, LISTEN_PORT);
  if (listen_socket == INVALID_SOCKET) {
    show_message(MB_ICONHAND, "Port %d is already in use...Exiting...", LISTEN_PORT);
    end_after_fatal_failure(start);
  }
  log_activity("Bound to port %d (%s)", LISTEN_PORT, LISTEN_ADDRESS);

  blocking_off = 0;
  reset_upstream_proxy();

  // Without a stored setting the values just reset apply: no proxy.
  StoredProxySetting stored{};
  stored.host[0] = '\0';
  stored.port = 0;
  read_proxy_setting(&stored);
  select_upstream_proxy(stored.host, stored.port);

  // A "P" line of the file applies its own proxy after the stored one.
  load_ad_definitions();
  // HTTPS inspection, when switched on, with the authority and the
  // pass-through list of now.
  reload_inspection();

  accept_connections(listen_socket);
}
