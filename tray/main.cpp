// The main program's entry: the command line is the arguments joined by
// single blanks, as the original desktop hands it to WinMain; SIGTERM and
// SIGINT close the main window, which ends the program the way Exit does.
// As the tray application on a desktop, it shows its icon, menu and boxes
// there; without a display it runs headless, reached through vmtray.
#include <memory>
#include <string>

#include "certauth/tls_io.h"
#include "platform/desktop.h"
#include "platform/desktop_socket.h"
#include "platform/process.h"
#include "platform/qt/desktop_qt.h"
#include "platform/registry.h"
#include "settings/activity_log.h"
#include "tray/main_window.h"
#include "tray/resources.h"

int main(int argc, char** argv) {
  // Before libcurl or inspection start OpenSSL. A failure shows later, where
  // inspection says why it is off.
  certauth::keep_tls_library_until_exit();
  platform::init_process();
  platform::close_windows_on_stop_signals();
  // A damaged registry is started anew; the log says so even while it is
  // switched off, as that setting went with the damaged file.
  platform::registry::set_damage_listener(log_registry_damage);
  std::string command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += ' ';
    command_line += argv[i];
  }
  // vmtray reaches the program through the socket backend; a desktop with a
  // tray puts a backend of its own in front of it.
  platform::set_desktop_backend(&platform::socket_tray_backend());
  // A browser command runs and ends without showing anything.
  std::unique_ptr<platform::DesktopSession> desktop;
  if (command_line.empty()) {
    desktop = platform::start_desktop(argc, argv, platform::DesktopRole::tray_program);
    if (desktop && !desktop->has_tray()) note_no_tray_on_display();
  }
  HINSTANCE instance = const_cast<platform::ResourceModule*>(&vellomar_resources);
  return WinMain(instance, nullptr, command_line.data(), 0);
}
