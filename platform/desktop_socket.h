// The built-in desktop backend: the tray icon, its menu and the message boxes
// of the running program are reached through a Unix socket in the machine's
// folder, by `vmtray` (run_tray_client) or by tests. Safe from any thread;
// the backend lives as long as the process.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace platform {

// The socket backend. The tray program installs it (set_desktop_backend)
// before adding its icon; a real desktop's backend passes its icons on to it
// too, so that `vmtray` reaches the program in every case.
DesktopBackend& socket_tray_backend();

// The Unix socket through which `vmtray` reaches the tray icon of the
// program running in this machine's folder.
std::string tray_socket_path();

// How long `vmtray` waits for the running program to say something.
constexpr int TRAY_ANSWER_TIMEOUT_SECONDS = 120;

// `vmtray`: sends one request ("menu", "choose TEXT", "click left|double",
// "key escape") to the running program, prints what happened to `out`, shows
// the message boxes the program asks through `message_box` (MessageBoxA with
// no owner), and returns the exit status: 0 done; 1 no such item, or no
// dialog box open; 2 bad arguments, no program running, or no answer.
using MessageBoxFunction = int (*)(HWND, const char*, const char*, UINT);
int run_tray_client(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err,
                    MessageBoxFunction message_box);

}  // namespace platform
