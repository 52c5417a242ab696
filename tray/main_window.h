// The main program as a tray application: WinMain, the hidden main window
// and its tray icon (the menu's commands: tray/tray_commands.h).
//
// Everything here runs on the user interface thread (the thread that calls
// WinMain), except end_after_proxy_failure, which the proxy thread calls after
// a fatal start-up failure: the desktop's icon and window calls are safe from
// any thread. main_window is written by the user interface thread before the
// proxy thread starts, and only read afterwards.
#pragma once

#include "platform/desktop.h"
#include "platform/win32.h"

extern HWND main_window;

// The program's entry: a non-empty command line runs one browser command;
// an empty one runs the tray application. Returns the exit status.
int WinMain(HINSTANCE instance, HINSTANCE previous, char* command_line, int show);

void register_main_class(HINSTANCE instance);
bool create_main_window(HINSTANCE instance);
void add_tray_icon();
void remove_tray_icon();
// The proxy thread's report of a fatal start-up failure: removes the tray
// icon, destroys the main window (logging the exit) and ends the process with
// `exit_status` at once.
[[noreturn]] void end_after_proxy_failure(int exit_status);
// Called before WinMain when the program runs on a display that shows no
// tray: when the main window is made, the activity log says so and how the
// user reaches Vellomar instead.
void note_no_tray_on_display();
// Shows the blocking switch's state in the icon and its tip.
void update_tray_icon();
LRESULT main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
