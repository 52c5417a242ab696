// vmtray: right-clicks, clicks and key presses for the tray icon of the
// Vellomar program running in this machine's folder (VELLOMAR_PREFIX).
// The message boxes that program shows meanwhile are shown here, to the user
// who gave the input.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/desktop_socket.h"
#include "platform/msgbox.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::init_process();
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return platform::run_tray_client(arguments, stdout, stderr, MessageBoxA);
}
