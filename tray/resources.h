// The main program's resources: the popup menu "POPUPMENU", the About box
// "ABOUTBOX" and the icons, as data the desktop reads (platform/desktop.h).
#pragma once

#include "platform/desktop.h"

constexpr UINT IDM_ABOUT = 104;
constexpr UINT IDM_EXIT = 105;
constexpr UINT IDM_VIEW_LOG = 1008;
constexpr UINT IDM_SETUP_IE = 1012;
constexpr UINT IDM_SETUP_NETSCAPE = 1014;
constexpr UINT IDM_TOGGLE_BLOCKING = 32774;
constexpr UINT IDM_REMOVE = 32777;

constexpr UINT IDI_VELLOMAR = 107;  // the application icon, 32x32 and 16x16
constexpr UINT IDI_SMALL = 108;     // the small icon, 16x16
// The application icon dimmed, shown while ad blocking is off.
constexpr UINT IDI_VELLOMAR_OFF = 109;

constexpr char MENU_NAME[] = "POPUPMENU";
constexpr char ABOUT_BOX_NAME[] = "ABOUTBOX";

// What the program's HINSTANCE points to.
extern const platform::ResourceModule vellomar_resources;

// The instance the menu, the About box and the icons are loaded from: set by
// the user interface thread when it creates the main window, before the
// proxy thread starts, and only read afterwards.
extern HINSTANCE app_instance;
