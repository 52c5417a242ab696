// The main program's message box helper: a formatted text in a box captioned
// "Vellomar", owned by the program's main window once that exists.
//
// The owner is handed in by whoever creates the window (the tray), so this
// floor needs to know nothing about windows of its own. Both functions are
// safe from any thread; a box blocks only the thread that shows it.
#pragma once

#include "platform/win32.h"

// The window that owns every box from now on (null: none).
void set_message_owner(HWND owner);

// Shows the formatted text, cut to MESSAGE_BUFFER_SIZE - 1 bytes
// (settings/activity_log.h), with `type` (MB_OK or MB_ICONHAND).
void show_message(UINT type, const char* format, ...) __attribute__((format(printf, 2, 3)));
