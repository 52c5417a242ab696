// Message queues, windows, menus and modal dialogs of the desktop.
#include "platform/desktop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/msgbox.h"

namespace {

// Messages seen by the test window procedure, on its thread.
thread_local std::vector<UINT> seen;
thread_local LRESULT create_answer = 0;
thread_local bool destroy_in_create = false;

LRESULT test_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  seen.push_back(message);
  if (message == WM_CREATE) {
    if (destroy_in_create) DestroyWindow(window);
    return create_answer;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

HWND make_window() {
  static const bool registered = [] {
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = test_proc;
    window_class.lpszClassName = "DESKTOPTEST";
    return RegisterClassExA(&window_class) != 0;
  }();
  EXPECT_TRUE(registered);
  return CreateWindowExA(0, "desktoptest", "test", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                         CW_USEDEFAULT, 0, nullptr, nullptr, nullptr, nullptr);
}

TEST(Desktop, ClassNamesAreTakenOnceWithoutRegardToCase) {
  make_window();
  WNDCLASSEXA again{};
  again.lpszClassName = "DesktopTest";
  EXPECT_EQ(RegisterClassExA(&again), 0);
  EXPECT_EQ(
      CreateWindowExA(0, "NOSUCHCLASS", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
      nullptr);
}

TEST(Desktop, CreationSendsCreateAndCanBeRefused) {
  seen.clear();
  HWND window = make_window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(seen, std::vector<UINT>{WM_CREATE});

  seen.clear();
  create_answer = -1;
  EXPECT_EQ(make_window(), nullptr);
  create_answer = 0;
  EXPECT_EQ(seen, (std::vector<UINT>{WM_CREATE, WM_DESTROY}));

  destroy_in_create = true;
  EXPECT_EQ(make_window(), nullptr);
  destroy_in_create = false;
}

TEST(Desktop, MessagesComeInOrderAndQuitComesLast) {
  HWND first = make_window();
  HWND second = make_window();
  PostMessageA(first, WM_USER, 1, 10);
  PostMessageA(second, WM_USER + 1, 2, 20);
  PostQuitMessage(7);
  PostMessageA(first, WM_COMMAND, 3, 30);
  MSG message;
  std::vector<std::pair<HWND, UINT>> order;
  while (GetMessageA(&message, nullptr, 0, 0)) order.emplace_back(message.hwnd, message.message);
  EXPECT_EQ(order, (std::vector<std::pair<HWND, UINT>>{
                       {first, WM_USER}, {second, WM_USER + 1}, {first, WM_COMMAND}}));
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 7u);
}

TEST(Desktop, DestroyedWindowsGetNothingMore) {
  HWND window = make_window();
  PostMessageA(window, WM_USER, 0, 0);
  seen.clear();
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_EQ(seen, std::vector<UINT>{WM_DESTROY});
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
  MSG stale{window, WM_USER, 0, 0};
  EXPECT_EQ(DispatchMessageA(&stale), 0);
  // The message posted before the destruction is dropped.
  PostQuitMessage(0);
  MSG message;
  EXPECT_FALSE(GetMessageA(&message, nullptr, 0, 0));
}

TEST(Desktop, CloseDestroysThroughTheDefaultProcedure) {
  HWND window = make_window();
  PostMessageA(window, WM_CLOSE, 0, 0);
  MSG message;
  ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
  seen.clear();
  DispatchMessageA(&message);
  EXPECT_EQ(seen, (std::vector<UINT>{WM_CLOSE, WM_DESTROY}));
  EXPECT_FALSE(IsWindow(window));
}

TEST(Desktop, AnotherThreadPostsAndDestroysThroughTheOwner) {
  HWND window = make_window();
  seen.clear();
  std::thread other([&] {
    EXPECT_TRUE(PostMessageA(window, WM_USER, 5, 0));
    EXPECT_TRUE(DestroyWindow(window));
    PostMessageA(nullptr, WM_NULL, 0, 0);  // to this thread's own queue: ignored
  });
  MSG message;
  ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
  EXPECT_EQ(message.wParam, 5u);
  // The next GetMessageA carries out the destruction for the other thread.
  while (IsWindow(window)) {
    PostMessageA(nullptr, WM_USER + 2, 0, 0);
    ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
  }
  other.join();
  EXPECT_EQ(seen, std::vector<UINT>{WM_DESTROY});  // run here, on the owner's thread
}

TEST(Desktop, DestroyFromAnotherThreadGivesUpWhenTheOwnerNeverLoops) {
  HWND window = make_window();
  // No message loop runs here while the other thread waits.
  std::atomic<BOOL> result{TRUE};
  std::thread other([&] { result = DestroyWindow(window); });
  other.join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(IsWindow(window));
}

// ---- Menus and dialogs ----------------------------------------------------

constexpr MENUITEMTEMPLATEA test_menu_items[] = {
    {MF_POPUP, 0, "First"},
    {MF_STRING, 11, "One"},
    {MF_POPUP, 0, "More"},
    {MF_STRING | MF_END, 12, "Deep"},
    {MF_SEPARATOR, 0, ""},
    {MF_STRING | MF_END, 13, "Last of first"},
    {MF_POPUP | MF_END, 0, "Second"},
    {MF_STRING | MF_END, 21, "Only"},
};
constexpr DLGITEMTEMPLATEA test_dialog_items[] = {
    {"STATIC", "Hello", -1, SS_LEFT, 1, 1, 10, 10},
};
constexpr DLGTEMPLATEA test_dialog = {"Test Box", DS_MODALFRAME,    0, 0, 50, 20, "MS Sans Serif",
                                      8,          test_dialog_items};
constexpr const char* icon_rows[] = {"0f", "f0"};
constexpr ICONIMAGE icon_images[] = {{2, 2, icon_rows}};
constexpr platform::MenuResource test_menus[] = {{"TESTMENU", test_menu_items}};
constexpr platform::DialogResource test_dialogs[] = {{"TESTBOX", &test_dialog}};
constexpr platform::IconResource test_icons[] = {{42, icon_images}};
const platform::ResourceModule test_module{test_menus, test_dialogs, test_icons};
HINSTANCE instance() {
  return const_cast<platform::ResourceModule*>(&test_module);
}

TEST(Desktop, MenusAreBuiltFromTheirTemplate) {
  HMENU bar = LoadMenuA(instance(), "testmenu");
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(bar->items.size(), 2u);
  HMENU first = GetSubMenu(bar, 0);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first->items.size(), 4u);
  EXPECT_EQ(first->items[0].id, 11u);
  EXPECT_EQ(first->items[1].popup->items.at(0).text, "Deep");
  EXPECT_EQ(first->items[2].flags, MF_SEPARATOR);
  EXPECT_EQ(first->items[3].text, "Last of first");
  HMENU second = GetSubMenu(bar, 1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->items.at(0).id, 21u);

  EXPECT_EQ(GetSubMenu(bar, 2), nullptr);
  EXPECT_EQ(GetSubMenu(bar, -1), nullptr);
  EXPECT_EQ(GetSubMenu(first, 0), nullptr);  // a plain item has no popup
  EXPECT_FALSE(DestroyMenu(first));          // only the loaded menu itself goes
  EXPECT_TRUE(DestroyMenu(bar));
  EXPECT_FALSE(DestroyMenu(bar));
  EXPECT_EQ(GetSubMenu(bar, 0), nullptr);
  EXPECT_FALSE(TrackPopupMenu(first, 0, 0, 0, 0, nullptr, nullptr));

  EXPECT_EQ(LoadMenuA(instance(), "NOMENU"), nullptr);
  EXPECT_EQ(LoadMenuA(nullptr, "TESTMENU"), nullptr);
  EXPECT_EQ(LoadIconA(instance(), MAKEINTRESOURCEA(42)), &test_icons[0]);
  EXPECT_EQ(LoadIconA(instance(), MAKEINTRESOURCEA(43)), nullptr);
}

// An input that chooses a fixed command and records what it hears.
struct RecordingInput : platform::DesktopInput {
  UINT choice = 0;
  int box_answer = 0;
  std::vector<std::string>* log = nullptr;
  UINT choose_from_menu(const Menu& menu) override {
    log->push_back("menu of " + std::to_string(menu.items.size()));
    return choice;
  }
  void event(platform::DesktopEvent what, const std::string& detail) override {
    log->push_back("event " + std::to_string(static_cast<int>(what)) + " " + detail);
  }
  int message_box(const char* text, const char*, UINT) override {
    log->push_back(std::string("box ") + text);
    return box_answer;
  }
  ~RecordingInput() override { log->push_back("over"); }
};

thread_local HMENU menu_to_track = nullptr;
thread_local std::vector<std::string> input_log;

LRESULT menu_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_USER + 1) {
    TrackPopupMenu(menu_to_track, TPM_LEFTALIGN, 0, 0, 0, window, nullptr);
    return 1;
  }
  if (message == WM_COMMAND) {
    input_log.push_back("command " + std::to_string(LOWORD(wparam)));
    if (LOWORD(wparam) == 99) {
      input_log.push_back("answer " +
                          std::to_string(platform::message_box_at_input("Sure?", "Q", MB_YESNO)));
    }
    return 1;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

HWND make_menu_window() {
  static const bool registered = [] {
    WNDCLASSEXA window_class{};
    window_class.lpfnWndProc = menu_proc;
    window_class.lpszClassName = "MENUTEST";
    return RegisterClassExA(&window_class) != 0;
  }();
  EXPECT_TRUE(registered);
  return CreateWindowExA(0, "MENUTEST", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// Runs the loop until nothing is left, then stops it.
void drain() {
  PostQuitMessage(0);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0)) DispatchMessageA(&message);
}

TEST(Desktop, AnInputChoosesFromTheMenuAndLastsUntilTheLoopIsIdle) {
  HWND window = make_menu_window();
  HMENU bar = LoadMenuA(instance(), "TESTMENU");
  menu_to_track = GetSubMenu(bar, 1);
  input_log.clear();
  auto input = std::make_shared<RecordingInput>();
  input->choice = 21;
  input->log = &input_log;
  ASSERT_TRUE(platform::post_input(window, WM_USER + 1, 0, WM_RBUTTONDOWN, input));
  input.reset();
  MSG message;
  ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
  DispatchMessageA(&message);  // the menu: posts the chosen command
  ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
  DispatchMessageA(&message);  // the command
  EXPECT_EQ(input_log, (std::vector<std::string>{"menu of 1", "command 21"}));
  PostMessageA(window, WM_NULL, 0, 0);
  ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
  EXPECT_EQ(input_log.size(), 2u);  // still busy: not over yet
  drain();
  EXPECT_EQ(input_log.back(), "over");
  DestroyMenu(bar);
  DestroyWindow(window);
}

TEST(Desktop, WithoutAnInputTheBackendAnswersMenus) {
  struct Backend : platform::DesktopBackend {
    BOOL add_icon(const NOTIFYICONDATAA&) override { return TRUE; }
    BOOL delete_icon(HWND, UINT) override { return TRUE; }
    UINT track_menu(const Menu& menu, HWND, POINT) override { return menu.items.at(0).id; }
  } backend;
  platform::set_desktop_backend(&backend);
  HWND window = make_menu_window();
  HMENU bar = LoadMenuA(instance(), "TESTMENU");
  EXPECT_EQ(TrackPopupMenu(GetSubMenu(bar, 1), TPM_RETURNCMD, 0, 0, 0, window, nullptr), 21);
  NOTIFYICONDATAA icon{};
  icon.hWnd = window;
  EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &icon));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &icon));
  DestroyMenu(bar);
  DestroyWindow(window);
  EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &icon));  // its window is gone
  platform::set_desktop_backend(nullptr);
}

TEST(Desktop, AMessageBoxGoesToTheInputInProgress) {
  HWND window = make_menu_window();
  input_log.clear();
  EXPECT_EQ(platform::message_box_at_input("x", "y", MB_OK), 0);  // no input: not shown
  auto input = std::make_shared<RecordingInput>();
  input->box_answer = IDYES;
  input->log = &input_log;
  platform::post_input(window, WM_COMMAND, 99, 0, input);
  input.reset();
  drain();
  EXPECT_EQ(input_log,
            (std::vector<std::string>{"command 99", "box Sure?", "answer 6", "event 3 ", "over"}));
  DestroyWindow(window);
}

thread_local std::vector<UINT> dialog_seen;
thread_local bool end_on_cancel = true;

INT_PTR dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  dialog_seen.push_back(message);
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL && end_on_cancel) {
    EndDialog(dialog, 1);
  }
  return FALSE;
}

TEST(Desktop, EscapeEndsTheModalDialog) {
  HWND owner = make_window();
  dialog_seen.clear();
  // The Escape key arrives once the dialog runs its own loop.
  std::thread presser([] {
    while (platform::open_dialog() == nullptr) std::this_thread::yield();
    EXPECT_EQ(platform::dialog_caption(platform::open_dialog()), "Test Box");
    PostMessageA(platform::open_dialog(), WM_KEYDOWN, VK_ESCAPE, 0);
  });
  INT_PTR result = DialogBoxParamA(instance(), "TESTBOX", owner, dialog_proc, 0);
  presser.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(dialog_seen, (std::vector<UINT>{WM_INITDIALOG, WM_COMMAND, WM_DESTROY}));
  EXPECT_EQ(platform::open_dialog(), nullptr);
  EXPECT_EQ(DialogBoxParamA(instance(), "NOBOX", owner, dialog_proc, 0), -1);
  DestroyWindow(owner);
}

TEST(Desktop, TheOwnersMessagesAndQuitReachThroughTheDialog) {
  HWND owner = make_window();
  end_on_cancel = false;
  seen.clear();
  PostMessageA(owner, WM_USER, 0, 0);  // handled by the owner while the dialog is open
  PostQuitMessage(3);                  // ends the dialog and stays for the outer loop
  EXPECT_EQ(DialogBoxParamA(instance(), "TESTBOX", owner, dialog_proc, 0), 0);
  EXPECT_EQ(seen, std::vector<UINT>{WM_USER});
  MSG message;
  EXPECT_FALSE(GetMessageA(&message, nullptr, 0, 0));
  EXPECT_EQ(message.wParam, 3u);

  // Destroying the owner takes the open dialog with it.
  PostMessageA(owner, WM_CLOSE, 0, 0);
  EXPECT_EQ(DialogBoxParamA(instance(), "TESTBOX", owner, dialog_proc, 0), 0);
  EXPECT_FALSE(IsWindow(owner));
  end_on_cancel = true;
}

}  // namespace
