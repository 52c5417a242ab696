// The tray icon's popup menu, its commands and the About box.
#include "tray/tray_commands.h"

#include <string>

#include "filter/matcher.h"
#include "platform/msgbox.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "settings/activity_log.h"
#include "settings/message_box.h"
#include "tray/resources.h"

namespace {

constexpr char SETUP_ADDRESS[] = "http://127.0.0.1:8000/";
constexpr char NETSCAPE_KEY[] = "Software\\Netscape\\Netscape Navigator\\Main";
constexpr char NETSCAPE_DEFAULT_DIRECTORY[] = "C:\\Program Files\\Netscape\\Communicator2";
constexpr char NETSCAPE_PROGRAM[] = "\\Program\\NETSCAPE";
constexpr std::size_t NETSCAPE_DIRECTORY_BUFFER = 32768;
constexpr char EXIT_QUESTION[] =
    "If you exit Vellomar your browser may not be able to connect to any sites. Do you want to "
    "exit?";

void start_setup_browser(const std::string& program, const char* browser_name) {
  if (start_program(program, {SETUP_ADDRESS, SETUP_ADDRESS}, false, nullptr) != 0) {
    show_message(MB_OK,
                 "Vellomar could not load %s. Open it and go to http://127.0.0.1:8000/ to run "
                 "Vellomar's setup.",
                 browser_name);
  }
}

void toggle_blocking() {
  const int now_off = 1 - blocking_off.load();
  blocking_off.store(now_off);
  log_activity(now_off == 1 ? "***** Ad Blocking turned off *****"
                            : "***** Ad Blocking turned on *****");
}

void run_remove_program(HWND window) {
  int exit_status = -1;
  if (start_program("vmremove", {"vmremove", ""}, true, &exit_status) == 0 && exit_status == 0) {
    DestroyWindow(window);
  }
}

}  // namespace

std::string netscape_program() {
  std::string directory = NETSCAPE_DEFAULT_DIRECTORY;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, NETSCAPE_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    std::string buffer(NETSCAPE_DIRECTORY_BUFFER, '\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (RegQueryValueExA(key, "Install Directory", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
      // The stored text need not end with a zero; it ends at the first one.
      buffer.resize(size);
      directory = buffer.c_str();
    }
    RegCloseKey(key);
  }
  return directory + NETSCAPE_PROGRAM;
}

LRESULT handle_tray_callback(HWND window, LPARAM mouse_message) {
  if (mouse_message != WM_RBUTTONDOWN) {
    return DefWindowProcA(window, WM_USER + 1, 0, mouse_message);
  }
  POINT cursor{};
  GetCursorPos(&cursor);
  HMENU menu = LoadMenuA(app_instance, MENU_NAME);
  if (menu == nullptr) return 1;
  HMENU popup = GetSubMenu(menu, blocking_off.load());
  SetForegroundWindow(window);
  TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
  // Lets the menu close properly when the user clicks elsewhere.
  PostMessageA(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
  return 1;
}

LRESULT handle_command(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (LOWORD(wparam)) {
    case IDM_ABOUT:
      DialogBoxParamA(app_instance, ABOUT_BOX_NAME, window, about_dialog_proc, 0);
      return 1;
    case IDM_EXIT:
      if (MessageBoxA(window, EXIT_QUESTION, "Exit Vellomar", MB_YESNO | MB_ICONWARNING) == IDYES) {
        DestroyWindow(window);
      }
      return 1;
    case IDM_VIEW_LOG:
      start_program("notepad", {"notepad", "Vellomar.log"}, false, nullptr);
      return 1;
    case IDM_SETUP_IE:
      start_setup_browser("explorer", "Internet Explorer");
      return 1;
    case IDM_SETUP_NETSCAPE:
      start_setup_browser(netscape_program(), "Netscape");
      return 1;
    case IDM_TOGGLE_BLOCKING:
      toggle_blocking();
      return 1;
    case IDM_REMOVE:
      run_remove_program(window);
      return 1;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

INT_PTR about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      // Escape and the close button send IDCANCEL, the OK button IDOK.
      if (LOWORD(wparam) == IDCANCEL || LOWORD(wparam) == IDOK) EndDialog(dialog, 1);
      return FALSE;
    default:
      return FALSE;
  }
}
