// The main program's hidden main window and instance, set by the user
// interface thread before the proxy thread starts and only read afterwards.
#pragma once

#include "platform/win32.h"

extern HINSTANCE app_instance;
extern HWND main_window;

// Removes the tray icon (the proxy thread's fatal paths call this too).
void remove_tray_icon();

// The fixed installation folder.
inline constexpr char INSTALL_DIRECTORY[] = "C:\\Program Files\\Vellomar";
