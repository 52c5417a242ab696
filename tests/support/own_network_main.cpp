// vm_own_network COMMAND [ARGUMENT...]: runs a command in a network namespace
// of its own with loopback up, for test drivers that are not C++ programs.
// Where no namespace can be made it says so and runs the command on the
// machine's network (the build then keeps such tests apart by a CTest lock).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/own_network.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vm_own_network COMMAND [ARGUMENT...]\n");
    return 2;
  }
  const std::string why = vmtest::enter_own_network();
  if (!why.empty()) std::fprintf(stderr, "note: sharing the machine's network (%s)\n", why.c_str());
  execvp(argv[1], argv + 1);
  std::fprintf(stderr, "vm_own_network: cannot run %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
