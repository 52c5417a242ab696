// The main program's instance and hidden main window.
#include "tray/main_window.h"

HINSTANCE app_instance = nullptr;
HWND main_window = nullptr;

void remove_tray_icon() {}
