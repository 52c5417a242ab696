// The desktop: windows, message queues, the tray icon, popup menus, modal
// dialogs and the program's resources, named and shaped as the original
// desktop names them.
//
// Contract
// - Every thread has its own message queue, made on first use. A window
//   belongs to the thread that created it; its procedure runs only on that
//   thread, from DispatchMessageA or from the calls that send a message at once
//   (CreateWindowExA: WM_CREATE; DestroyWindow: WM_DESTROY).
// - PostMessageA, Shell_NotifyIconA and DestroyWindow may be called from any
//   thread. DestroyWindow from another thread has the owner thread destroy the
//   window and waits (at most CROSS_THREAD_WAIT_MS) until it has.
// - An HWND or HMENU that no longer names a live window or menu is refused
//   (FALSE / null), never dereferenced; a message posted to a window that is
//   destroyed before it is taken from the queue is dropped.
// - Resources (menus, dialogs, icons) are data compiled into the program:
//   the HINSTANCE a program passes around points to its ResourceModule.
// - Input comes from a backend (the seam for a real tray), which the program
//   installs with set_desktop_backend before its first icon: the socket
//   backend serving `vmtray` (desktop_socket.h) or a real desktop's. Until
//   then no icon is shown.
// - Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/win32.h"

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// ---- Messages -------------------------------------------------------------

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_USER = 0x0400;

constexpr WPARAM VK_ESCAPE = 0x1B;

constexpr WORD LOWORD(WPARAM value) {
  return static_cast<WORD>(value & 0xFFFF);
}

struct POINT {
  LONG x;
  LONG y;
};

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

using INT_PTR = std::intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

// ---- Resources ------------------------------------------------------------

// An integer resource identifier in a name's place, as MAKEINTRESOURCEA gives.
inline const char* MAKEINTRESOURCEA(std::uintptr_t id) {
  return reinterpret_cast<const char*>(id);
}
inline bool IS_INTRESOURCE(const char* name) {
  return reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF;
}

// Menu templates: items in order; a popup item is followed by its own items,
// and the last item of every level carries MF_END.
constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_POPUP = 0x0010;
constexpr UINT MF_END = 0x0080;
constexpr UINT MF_SEPARATOR = 0x0800;

struct MENUITEMTEMPLATEA {
  UINT flags;
  UINT id;
  const char* text;
};

// Dialog templates (sizes in dialog units).
constexpr DWORD DS_MODALFRAME = 0x80;
constexpr DWORD DS_SETFOREGROUND = 0x200;
constexpr DWORD DS_CENTER = 0x800;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD SS_LEFT = 0x0;
constexpr DWORD SS_ICON = 0x3;  // the control's text is the icon's resource id
constexpr DWORD SS_NOPREFIX = 0x80;
constexpr DWORD BS_PUSHBUTTON = 0x0;
constexpr DWORD BS_DEFPUSHBUTTON = 0x1;
constexpr DWORD BS_GROUPBOX = 0x7;

struct DLGITEMTEMPLATEA {
  const char* class_name;  // "STATIC", "BUTTON", ...
  const char* text;
  int id;
  DWORD style;
  short x, y, cx, cy;
};

struct DLGTEMPLATEA {
  const char* caption;
  DWORD style;
  short x, y, cx, cy;
  const char* font;
  WORD font_points;
  std::span<const DLGITEMTEMPLATEA> items;
};

// An icon image: `rows` of `width` characters, each a hexadecimal index into
// the 16-colour palette of the original desktop ('0' black ... 'f' white);
// '.' is transparent.
struct ICONIMAGE {
  int width;
  int height;
  std::span<const char* const> rows;
};

namespace platform {

struct MenuResource {
  const char* name;
  std::span<const MENUITEMTEMPLATEA> items;
};
struct DialogResource {
  const char* name;
  const DLGTEMPLATEA* dialog;
};
struct IconResource {
  UINT id;
  std::span<const ICONIMAGE> images;  // largest first
  // The same picture as an SVG document, which a real desktop draws at
  // whatever size its tray asks for; null when there is none.
  const char* svg = nullptr;
};

// What a program's HINSTANCE points to.
struct ResourceModule {
  std::span<const MenuResource> menus;
  std::span<const DialogResource> dialogs;
  std::span<const IconResource> icons;
};
}  // namespace platform

struct Menu;  // a loaded menu (below)
using HMENU = Menu*;
using HICON = const platform::IconResource*;
using HCURSOR = const void*;
using HBRUSH = const void*;

// ---- Window classes and windows ------------------------------------------

constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);
constexpr int COLOR_WINDOW = 5;
inline const char* const IDC_ARROW = MAKEINTRESOURCEA(32512);

struct WNDCLASSEXA {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  const char* lpszMenuName;
  const char* lpszClassName;
  HICON hIconSm;
};

using ATOM = WORD;

// Registers a class for the process; 0 when the name is taken or invalid.
ATOM RegisterClassExA(const WNDCLASSEXA* window_class);

// Creates a window of a registered class, owned by the calling thread, and
// sends it WM_CREATE (lParam: `param`). Null when the class is unknown, the
// procedure answers WM_CREATE with -1, or it destroyed the window meanwhile.
HWND CreateWindowExA(DWORD ex_style, const char* class_name, const char* title, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     void* param);

// Sends WM_DESTROY and forgets the window (and the dialogs it owns).
BOOL DestroyWindow(HWND window);

// The default handling: WM_CLOSE destroys the window; everything else gives 0.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

BOOL IsWindow(HWND window);
BOOL SetForegroundWindow(HWND window);
BOOL GetCursorPos(POINT* point);
HICON LoadIconA(HINSTANCE instance, const char* name);
HCURSOR LoadCursorA(HINSTANCE instance, const char* name);

// ---- Message queues -------------------------------------------------------

// Queues a message for the window's thread; FALSE when the window is gone.
// A null window posts to the calling thread's own queue.
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Asks the calling thread's message loop to end: GetMessageA returns 0 (with
// WM_QUIT and `exit_code`) once the messages posted before are taken.
void PostQuitMessage(int exit_code);

// Waits for the next message of the calling thread (the filters must be null
// and 0: every window of the thread). Returns FALSE for WM_QUIT.
BOOL GetMessageA(MSG* message, HWND window, UINT first, UINT last);
BOOL TranslateMessage(const MSG* message);
// Calls the procedure of the message's window; 0 for a window that is gone.
LRESULT DispatchMessageA(const MSG* message);

// ---- The tray icon --------------------------------------------------------

constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_MODIFY = 1;
constexpr DWORD NIM_DELETE = 2;
constexpr UINT NIF_MESSAGE = 0x1;
constexpr UINT NIF_ICON = 0x2;
constexpr UINT NIF_TIP = 0x4;

struct NOTIFYICONDATAA {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  char szTip[64];
};

// Adds or deletes an icon in the notification area. Mouse input on the icon
// arrives at hWnd as uCallbackMessage with the mouse message in lParam.
BOOL Shell_NotifyIconA(DWORD action, NOTIFYICONDATAA* data);

// ---- Menus ----------------------------------------------------------------

// A loaded menu. Code outside platform/ only reads it (backends show it).
struct Menu {
  struct Item {
    std::string text;
    UINT id = 0;
    UINT flags = MF_STRING;  // MF_STRING, MF_POPUP or MF_SEPARATOR
    std::unique_ptr<Menu> popup;
  };
  std::vector<Item> items;
};

constexpr UINT TPM_LEFTALIGN = 0x0000;
constexpr UINT TPM_LEFTBUTTON = 0x0000;
constexpr UINT TPM_RETURNCMD = 0x0100;

// Builds the named menu resource; null when the module has none such. The
// caller destroys it with DestroyMenu (which frees its popups with it).
HMENU LoadMenuA(HINSTANCE instance, const char* name);
// The popup at `position`, owned by `menu`; null when there is none.
HMENU GetSubMenu(HMENU menu, int position);
BOOL DestroyMenu(HMENU menu);

// Shows the popup menu and returns when it closes. The chosen command is
// posted to `owner` as WM_COMMAND (or returned with TPM_RETURNCMD). Returns
// FALSE when the menu handle is not valid or (TPM_RETURNCMD) nothing was chosen.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                    const RECT* rect);

// ---- Modal dialogs --------------------------------------------------------

// Shows the named dialog resource owned by `owner` and runs its own message
// loop until EndDialog; returns EndDialog's result, or -1 when the template is
// missing. The procedure gets WM_INITDIALOG (lParam: `param`), WM_COMMAND
// IDCANCEL for the Escape key, and other messages posted to the dialog.
// A WM_QUIT taken meanwhile ends the dialog (result 0) and is posted again.
INT_PTR DialogBoxParamA(HINSTANCE instance, const char* name, HWND owner, DLGPROC procedure,
                        LPARAM param);
BOOL EndDialog(HWND dialog, INT_PTR result);

namespace platform {

// Longest wait of DestroyWindow called from a thread that does not own the
// window, for the owner thread to carry the destruction out.
constexpr int CROSS_THREAD_WAIT_MS = 5000;
// A thread that has another thread destroy its window usually ends the
// process right after (a fatal start-up failure): the message loop that then
// takes WM_QUIT waits this long first, so that the process ends with that
// thread's exit status rather than the loop's.
constexpr int OTHER_THREAD_EXIT_GRACE_MS = 2000;

// Something happening on the desktop that the one giving input hears of.
enum class DesktopEvent {
  dialog_opened,  // detail: the dialog's caption
  dialog_closed,  // detail: the dialog's caption
  icon_removed,   // detail: nothing
  loop_ended,     // the thread's message loop took WM_QUIT
};

// One piece of user input in progress (a right-click and what follows from it,
// a key press). The desktop holds it from the moment its message is taken from
// the queue until the thread waits for the next message (or quits): it hears
// what happened meanwhile and answers the menus and message boxes it caused.
// Its destructor is where the input learns that it is over. Called only on
// the thread whose queue holds it.
class DesktopInput {
 public:
  virtual ~DesktopInput() = default;
  // The command chosen from a popup menu that this input opened; 0 for none.
  virtual UINT choose_from_menu(const Menu& menu) = 0;
  virtual void event(DesktopEvent what, const std::string& detail) = 0;
  // Shows a message box at the input's end; 0 when it cannot (the box is
  // then shown by the program itself).
  virtual int message_box(const char* text, const char* caption, UINT type) = 0;
};

// Posts `message` like PostMessageA, carrying `input` along.
BOOL post_input(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                std::shared_ptr<DesktopInput> input);

// The desktop's outer side: where the icons are shown and input comes from.
// Its calls may come from any thread.
class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;
  // An icon was added (the data is a copy). FALSE when it could not be shown.
  virtual BOOL add_icon(const NOTIFYICONDATAA& icon) = 0;
  // The icon (window, id) goes; FALSE when it was not shown.
  virtual BOOL delete_icon(HWND window, UINT id) = 0;
  // A popup menu opened with no input in progress: the command chosen, or 0.
  virtual UINT track_menu(const Menu& menu, HWND owner, POINT at) = 0;
  // The icon (window, id) shown now gets the icon and tip of `icon`; FALSE
  // when it is not shown.
  virtual BOOL modify_icon(const NOTIFYICONDATAA& /*icon*/) { return FALSE; }
  // A modal dialog built from `dialog_template` opened on the calling thread
  // (`instance` holds its icons); it closes with dialog_closed. A backend that
  // shows it turns its buttons and keys into messages posted to `dialog`.
  virtual void dialog_opened(HWND /*dialog*/, HINSTANCE /*instance*/,
                             const DLGTEMPLATEA& /*dialog_template*/) {}
  virtual void dialog_closed(HWND /*dialog*/) {}
};

// Lets another event loop (a toolkit's) run on a thread while its message
// loop waits: instead of sleeping, GetMessageA calls wait_readable, which
// must return once `wake_fd` is readable (and may return earlier). Posting
// to the thread makes the descriptor readable, so nothing is polled.
class ThreadWaiter {
 public:
  virtual ~ThreadWaiter() = default;
  virtual void wait_readable(int wake_fd) = 0;
};

// Installs `waiter` for the calling thread's message queue (null: sleep as
// usual). The waiter must outlive the thread's message loop.
void set_thread_waiter(ThreadWaiter* waiter);

// Installs the backend used from now on (null: none, icons are refused and
// menus opened without input choose nothing). The backend must outlive every
// later desktop call.
void set_desktop_backend(DesktopBackend* backend);
DesktopBackend& desktop_backend();

// The modal dialog shown last that is still open, or null.
HWND open_dialog();
// The caption of a dialog window ("" when it is none).
std::string dialog_caption(HWND dialog);

// For MessageBoxA: when the calling thread's input in progress can show the
// box at its end, shows it there and returns the answer; 0 otherwise.
int message_box_at_input(const char* text, const char* caption, UINT type);

// Makes SIGTERM and SIGINT close every window of the process (WM_CLOSE, as at
// the end of a session), or end the process when it has none. Call once,
// early in main().
void close_windows_on_stop_signals();
}  // namespace platform
