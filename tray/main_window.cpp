// Start-up of the main program, its hidden main window, the tray icon and the
// message loop. The window is never shown: it exists to own the tray icon, the
// popup menu and the message boxes, and its destruction is how the program
// ends (Exit, a successful Remove, or a stop signal).
#include "tray/main_window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adlists/background_updates.h"
#include "browsercfg/browser_commands.h"
#include "filter/matcher.h"
#include "platform/files.h"
#include "platform/msgbox.h"
#include "platform/process.h"
#include "proxy/listener.h"
#include "settings/activity_log.h"
#include "settings/message_box.h"
#include "settings/product.h"
#include "tray/resources.h"
#include "tray/tray_commands.h"

HWND main_window = nullptr;

namespace {

constexpr char WINDOW_CLASS[] = "VELLOMAR";
constexpr char WINDOW_TITLE[] = "Vellomar";
constexpr UINT TRAY_ICON_ID = 3473;
constexpr UINT WM_TRAY_CALLBACK = WM_USER + 1;
constexpr char TRAY_TIP[] = "Vellomar";
constexpr char TRAY_TIP_BLOCKING_OFF[] = "Vellomar (ad blocking off)";

// Logged at start on a display without a tray (a GNOME Shell without the
// AppIndicator extension, a bare window manager), where no icon can be shown.
constexpr char NO_TRAY_LOG_LINE[] =
    "Desktop:\tthis display shows no tray, so Vellomar shows no icon; \"vmtray menu\" shows "
    "its menu in a terminal, and on GNOME the AppIndicator extension "
    "(gnome-shell-extension-appindicator) brings tray icons back";
bool no_tray_on_display = false;

// What the proxy thread is started with: lives as long as the process.
constexpr ProxyStart PROXY_START{end_after_proxy_failure};

NOTIFYICONDATAA tray_icon_data() {
  NOTIFYICONDATAA data{};
  data.cbSize = sizeof data;
  data.hWnd = main_window;
  data.uID = TRAY_ICON_ID;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAY_CALLBACK;
  const bool off = blocking_off.load() == 1;
  data.hIcon = LoadIconA(app_instance, MAKEINTRESOURCEA(off ? IDI_VELLOMAR_OFF : IDI_VELLOMAR));
  std::strncpy(data.szTip, off ? TRAY_TIP_BLOCKING_OFF : TRAY_TIP, sizeof data.szTip - 1);
  return data;
}

}  // namespace

void register_main_class(HINSTANCE instance) {
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = main_window_proc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VELLOMAR));
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(std::uintptr_t{COLOR_WINDOW + 1});
  window_class.lpszClassName = WINDOW_CLASS;
  window_class.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SMALL));
  RegisterClassExA(&window_class);
}

bool create_main_window(HINSTANCE instance) {
  app_instance = instance;
  HWND created = CreateWindowExA(0, WINDOW_CLASS, WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
  // WM_CREATE has stored the handle already, before the proxy thread started
  // reading it; storing the same value again would race with that thread.
  if (main_window != created) main_window = created;
  return created != nullptr;
}

void add_tray_icon() {
  NOTIFYICONDATAA data = tray_icon_data();
  // An icon of this window and id that is somehow still there goes first.
  Shell_NotifyIconA(NIM_DELETE, &data);
  Shell_NotifyIconA(NIM_ADD, &data);
}

void update_tray_icon() {
  NOTIFYICONDATAA data = tray_icon_data();
  Shell_NotifyIconA(NIM_MODIFY, &data);
}

void remove_tray_icon() {
  NOTIFYICONDATAA data = tray_icon_data();
  Shell_NotifyIconA(NIM_DELETE, &data);
}

void end_after_proxy_failure(int exit_status) {
  remove_tray_icon();
  // The window's owner thread destroys it (logging the exit) before this
  // returns; the process then ends at once with the failure status.
  if (main_window != nullptr) DestroyWindow(main_window);
  std::fflush(nullptr);
  std::_Exit(exit_status);
}

void note_no_tray_on_display() {
  no_tray_on_display = true;
}

LRESULT main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      // Set before the proxy thread exists, which uses it as the owner of
      // its message boxes.
      main_window = window;
      set_message_owner(window);
      add_tray_icon();
      if (no_tray_on_display) log_activity("%s", NO_TRAY_LOG_LINE);
      if (start_thread(proxy_thread_main, const_cast<ProxyStart*>(&PROXY_START)) != 0) {
        show_message(MB_OK, "Can't start Proxy Thread");
        DestroyWindow(window);
        return 1;
      }
      // Imported lists are kept fresh beside the proxy, never on its path.
      if (!adlists::start_background_list_updates()) {
        log_activity("ERROR:\t*****Could not start the ad list updates*****");
      }
      return 1;
    case WM_DESTROY:
      remove_tray_icon();
      PostQuitMessage(0);
      log_activity("***************** Vellomar Exiting *****************");
      return 1;
    case WM_PAINT:
      // The window is never shown, so there is nothing to draw.
      return 1;
    case WM_TRAY_CALLBACK:
      return handle_tray_callback(window, lparam);
    case WM_COMMAND: {
      const LRESULT handled = handle_command(window, message, wparam, lparam);
      // The icon and its tip show the blocking switch's new state.
      if (LOWORD(wparam) == IDM_TOGGLE_BLOCKING) update_tray_icon();
      return handled;
    }
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

int WinMain(HINSTANCE instance, HINSTANCE, char* command_line, int) {
  if (command_line != nullptr && command_line[0] != '\0') {
    run_browser_command(command_line);
    return 0;
  }
  if (change_directory(INSTALL_DIRECTORY) != 0) {
    show_message(MB_ICONHAND, "Vellomar is not installed properly...Exiting...");
    return -1;
  }
  register_main_class(instance);
  if (!create_main_window(instance)) return 0;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}
