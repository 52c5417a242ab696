// A D-Bus session bus of a test's own, as dbus-run-session gives one: started
// at construction, with DBUS_SESSION_BUS_ADDRESS pointing at it for the test
// and every program it starts; ended, and the variable put back, at
// destruction. Make and destroy it on the test's main thread (setenv).
// Services the bus starts on demand inherit the bus's environment: the
// test's, with the variables of `environment` (NAME=VALUE) set or replaced.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vmtest {

inline constexpr char DBUS_DAEMON[] = "/usr/bin/dbus-daemon";

class SessionBus {
 public:
  explicit SessionBus(const std::vector<std::string>& environment = {});
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  // False when dbus-daemon is missing or did not come up.
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  std::optional<std::string> old_address_;
};

}  // namespace vmtest
