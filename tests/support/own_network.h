// A network namespace of the test's own: port 8000 and every loopback port
// the test opens meet no other program's, so tests run side by side and
// while a Vellomar of the desktop serves 127.0.0.1:8000.
//
// Root unshares the network alone; other users get a user namespace that
// maps them to themselves (same files, same permissions) with a network of
// its own. Either way only loopback exists there, brought up here.
#pragma once

#include <string>

namespace vmtest {

// Moves the calling process into a fresh network namespace with loopback up.
// Call it while the process has a single thread (a user namespace requires
// it; with the network alone only the calling thread moves). Returns "" on
// success, otherwise why not (the process then shares the machine's network).
// VELLOMAR_TEST_SHARED_NETWORK set in the environment keeps the machine's
// network on purpose.
std::string enter_own_network();

}  // namespace vmtest
