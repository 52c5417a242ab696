// The tray icon's popup menu, its commands and the About box. Everything here
// runs on the user interface thread.
#pragma once

#include <string>

#include "platform/desktop.h"
#include "platform/win32.h"

// The tray icon's callback message and the commands of its popup menu,
// called by main_window_proc.
LRESULT handle_tray_callback(HWND window, LPARAM mouse_message);
LRESULT handle_command(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// The Netscape program the "With Netscape" command starts: the browser's
// "Install Directory" from the current user's registry, or the usual
// folder, with "\Program\NETSCAPE" appended.
std::string netscape_program();
