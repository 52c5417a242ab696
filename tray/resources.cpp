// The main program's resources as data: the popup menu, the About box and the
// application icon (a white V on a dark red shield: as SVG for real desktops,
// and in the 16-colour palette).
#include "tray/resources.h"

#include "dist/icons/icon_data.h"
#include "platform/msgbox.h"

namespace {

// Two popups that differ only in the blocking item: index 0 is shown while
// ads are blocked, index 1 while blocking is off.
constexpr MENUITEMTEMPLATEA popup_menu[] = {
    {MF_POPUP, 0, "Popup Menu"},
    {MF_STRING, IDM_REMOVE, "Remove Vellomar"},
    {MF_SEPARATOR, 0, ""},
    {MF_POPUP, 0, "Open Setup"},
    {MF_STRING, IDM_SETUP_IE, "With Internet Explorer"},
    {MF_STRING | MF_END, IDM_SETUP_NETSCAPE, "With Netscape"},
    {MF_STRING, IDM_VIEW_LOG, "View Log"},
    {MF_SEPARATOR, 0, ""},
    {MF_STRING, IDM_EXIT, "Exit Vellomar"},
    {MF_STRING, IDM_TOGGLE_BLOCKING, "Stop Blocking Ads"},
    {MF_SEPARATOR, 0, ""},
    {MF_STRING | MF_END, IDM_ABOUT, "About Vellomar"},
    {MF_POPUP | MF_END, 0, "Popup Menu"},
    {MF_STRING, IDM_REMOVE, "Remove Vellomar"},
    {MF_SEPARATOR, 0, ""},
    {MF_POPUP, 0, "Open Setup"},
    {MF_STRING, IDM_SETUP_IE, "With Internet Explorer"},
    {MF_STRING | MF_END, IDM_SETUP_NETSCAPE, "With Netscape"},
    {MF_STRING, IDM_VIEW_LOG, "View Log"},
    {MF_SEPARATOR, 0, ""},
    {MF_STRING, IDM_EXIT, "Exit Vellomar"},
    {MF_STRING, IDM_TOGGLE_BLOCKING, "Start Blocking Ads"},
    {MF_SEPARATOR, 0, ""},
    {MF_STRING | MF_END, IDM_ABOUT, "About Vellomar"},
};

constexpr int IDC_STATIC = -1;

// The application icon beside the two texts, and an OK button under them.
constexpr DLGITEMTEMPLATEA about_items[] = {
    {"STATIC", "#107", IDC_STATIC, WS_CHILD | WS_VISIBLE | SS_ICON, 9, 10, 21, 20},
    {"STATIC", "Vellomar Version 1.0", IDC_STATIC, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
     36, 12, 145, 10},
    {"STATIC", "Copyright (C) 2026 The Vellomar developers", IDC_STATIC,
     WS_CHILD | WS_VISIBLE | SS_LEFT, 36, 25, 145, 10},
    {"BUTTON", "", IDC_STATIC, WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 3, 0, 180, 43},
    {"BUTTON", "OK", IDOK, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 68, 48, 50, 14},
};

constexpr DLGTEMPLATEA about_box = {
    "About Vellomar",
    DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    0,
    0,
    186,
    66,
    "MS Sans Serif",
    8,
    about_items};

constexpr const char* icon_32[] = {
    "..............0000..............", "..........000000000000..........",
    "........0004444444444000........", ".......004444444444444400.......",
    ".....0044444444444444444400.....", "....004444444444444444444400....",
    "....044444444444444444444440....", "...04444444444444444444444440...",
    "..00ffffff444444444444ffffff00..", "..04fffffff4444444444fffffff40..",
    ".0044ffffff4444444444ffffff4400.", ".0444fffffff44444444fffffff4440.",
    ".04444ffffff44444444ffffff44440.", ".04444fffffff444444fffffff44440.",
    "0044444ffffff444444ffffff4444400", "0044444fffffff4444fffffff4444400",
    "00444444ffffff4444ffffff44444400", "00444444fffffff44fffffff44444400",
    ".04444444ffffff44ffffff44444440.", ".04444444ffffffffffffff44444440.",
    ".044444444ffffffffffff444444440.", ".004444444ffffffffffff444444400.",
    "..044444444ffffffffff444444440..", "..004444444ffffffffff444444400..",
    "...044444444ffffffff444444440...", "....04444444ffffffff44444440....",
    "....004444444444444444444400....", ".....0044444444444444444400.....",
    ".......004444444444444400.......", "........0004444444444000........",
    "..........000000000000..........", "..............0000..............",
};
constexpr const char* icon_16[] = {
    "......0000......", "....00000000....", "...0044444400...", "..044444444440..",
    ".00ff444444ff00.", ".0ffff4444ffff0.", "004fff4444fff400", "004ffff44ffff400",
    "0044fff44fff4400", "0044ffffffff4400", ".0444ffffff4440.", ".0044ffffff4400.",
    "..0444ffff4440..", "...0044444400...", "....00000000....", "......0000......",
};

constexpr ICONIMAGE application_images[] = {{32, 32, icon_32}, {16, 16, icon_16}};
constexpr ICONIMAGE small_images[] = {{16, 16, icon_16}};

constexpr platform::MenuResource menus[] = {{MENU_NAME, popup_menu}};
constexpr platform::DialogResource dialogs[] = {{ABOUT_BOX_NAME, &about_box}};
// The dimmed variant has no palette picture of its own: places without
// SVG show the ordinary icon.
const platform::IconResource icons[] = {
    {IDI_VELLOMAR, application_images, VELLOMAR_ICON_SVG},
    {IDI_SMALL, small_images, VELLOMAR_ICON_SVG},
    {IDI_VELLOMAR_OFF, application_images, VELLOMAR_OFF_ICON_SVG}};

}  // namespace

const platform::ResourceModule vellomar_resources{menus, dialogs, icons};

HINSTANCE app_instance = nullptr;
