// Linked into every test program that opens port 8000: moves the program
// into a network namespace of its own before main, while it has one thread,
// so that every program it starts (the proxy, setup, the tray, browsers)
// lives there too.
#include <cstdio>
#include <string>

#include "tests/support/own_network.h"

namespace {

const bool own_network = [] {
  const std::string why = vmtest::enter_own_network();
  if (!why.empty()) {
    std::fprintf(stderr, "note: sharing the machine's network (%s)\n", why.c_str());
  }
  return why.empty();
}();

}  // namespace
