// Entering a network namespace of the test's own.
#include "tests/support/own_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vmtest {
namespace {

bool write_proc(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

std::string loopback_up() {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return std::string("socket: ") + std::strerror(errno);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  std::string why;
  if (ioctl(s, SIOCGIFFLAGS, &request) != 0) {
    why = std::string("reading the loopback's flags: ") + std::strerror(errno);
  } else {
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (ioctl(s, SIOCSIFFLAGS, &request) != 0) {
      why = std::string("bringing loopback up: ") + std::strerror(errno);
    }
  }
  close(s);
  return why;
}

}  // namespace

std::string enter_own_network() {
  // The older name is still honoured for the proxy's end-to-end tests.
  if (std::getenv("VELLOMAR_TEST_SHARED_NETWORK") != nullptr ||
      std::getenv("VELLOMAR_E2E_SHARED_NETWORK") != nullptr) {
    return "VELLOMAR_TEST_SHARED_NETWORK is set";
  }
  if (unshare(CLONE_NEWNET) != 0) {
    const int network_error = errno;
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      return std::string("unshare: ") + std::strerror(network_error) +
             "; with a user namespace: " + std::strerror(errno);
    }
    // Map the user and group to themselves, so files keep their owners.
    if (!write_proc("/proc/self/setgroups", "deny") ||
        !write_proc("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !write_proc("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
      return std::string("mapping the user namespace: ") + std::strerror(errno);
    }
  }
  return loopback_up();
}

}  // namespace vmtest
