// The real desktop: a tray icon, popup menus, dialogs and message boxes drawn
// with Qt on the user's display, behind the desktop layer's backend seam.
//
// Contract
// - start_desktop is called once, first thing in main() on the thread that
//   will run the program's message loop (the user interface thread). It
//   returns null, and changes nothing, when there is no display (neither
//   DISPLAY nor WAYLAND_DISPLAY names one that answers); the program then
//   runs headless exactly as before.
// - With a display, message boxes become dialogs (unless
//   VELLOMAR_MSGBOX_ANSWER answers them) and the thread's message loop runs
//   Qt's event loop while it waits. For the tray program, the tray icon, its
//   menu and the modal dialogs are shown too when the desktop has a tray;
//   `vmtray` keeps reaching the program in every case.
// - The returned session must live until the message loop has ended; its
//   destruction takes the desktop away again (later boxes fall back to the
//   terminal). Nothing here throws.
// - VELLOMAR_DESKTOP_TRACE=FILE appends one line per thing shown (icon,
//   menu with each item's place on the screen, dialog, box) to FILE, so that
//   tests driving the display with real input can find what to click.
#pragma once

#include <memory>

namespace platform {

enum class DesktopRole {
  tray_program,  // the main program: tray icon, menus, dialogs, boxes
  dialogs_only,  // setup and the remove program: message boxes only
};

class DesktopSession {
 public:
  virtual ~DesktopSession() = default;
  // Whether the tray icon is shown on the desktop (tray_program only).
  virtual bool has_tray() const = 0;
};

std::unique_ptr<DesktopSession> start_desktop(int& argc, char** argv, DesktopRole role);

}  // namespace platform
