// What the browser configuration (ie_proxy.h, netscape_prefs.h) shares: the
// capacity of its name buffers, and its contract. Each operation points a
// browser at the proxy on 127.0.0.1:8000, or takes that away, and records the
// state in the browser's Install flag (settings/registry_settings.h); none
// reports anything.
//
// They run on the caller's thread with their buffers on its stack (a few
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
