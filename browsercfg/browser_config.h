// Points the browsers at the proxy on 127.0.0.1:8000, or takes that away,
// and records the state in the Install flags under
// HKEY_LOCAL_MACHINE\Software\Vellomar\Install. Neither reports anything.
//
// Both run on the caller's thread with their buffers on its stack (a few
// NAME_BUFFER_SIZE buffers: well within a session thread's stack), hold no
// state and take no lock: several threads or processes may run them at once,
// each registry write and each appended line stands alone, the last writer
// wins. Calling either again rewrites the same data (Netscape's files get the
// lines appended once more).
#pragma once

#include <cstddef>

// Capacity of the name and path buffers: 32768 in the main program, 512 in
// the remove program (set by the build).
#ifndef BROWSER_NAME_BUFFER_SIZE
#define BROWSER_NAME_BUFFER_SIZE 32768
#endif
constexpr std::size_t NAME_BUFFER_SIZE = BROWSER_NAME_BUFFER_SIZE;

void configure_ie_proxy(int enable);
void configure_netscape_proxy(int enable);

// The main program's one-letter commands "I", "N" and "R": 0 when the first
// character of `command` is one of them, -1 otherwise.
int run_browser_command(const char* command);
