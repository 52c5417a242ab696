// Windows, per-thread message queues, menus and modal dialogs.
//
// Every window lives in one process-wide table keyed by its handle; a call
// with a handle first looks it up there, so a stale handle is refused rather
// than followed. Each window keeps the queue of its thread, which is how
// another thread's PostMessageA reaches it. The tables are allocated once and
// never freed, so threads still running while the process exits never meet a
// destroyed table.
#include "platform/desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

struct Window {
  bool is_dialog = false;
  WNDPROC procedure = nullptr;
  DLGPROC dialog_procedure = nullptr;
  std::string class_name;
  std::string title;  // the caption of a dialog
  HWND owner = nullptr;
  std::thread::id thread;
  std::shared_ptr<struct MessageQueue> queue;
  // Touched only on the window's own thread.
  bool destroying = false;
  bool dialog_ended = false;
  INT_PTR dialog_result = 0;
};

struct MessageQueue {
  struct Posted {
    MSG message{};
    std::shared_ptr<platform::DesktopInput> input;
    std::function<void()> task;  // run by GetMessageA itself, never returned
  };
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Posted> posted;
  bool quit = false;
  int quit_code = 0;
  // Set when a window of this thread was destroyed for another thread.
  bool destroyed_for_other_thread = false;
  // The input in progress; only the queue's own thread touches it.
  std::shared_ptr<platform::DesktopInput> current_input;
  // Another event loop sharing the thread (set_thread_waiter), and the
  // eventfd that posting signals for it; -1 while there is none.
  platform::ThreadWaiter* waiter = nullptr;
  std::atomic<int> wake_fd{-1};

  ~MessageQueue() {
    if (wake_fd >= 0) close(wake_fd);
  }
  void wake() {
    ready.notify_one();
    const int fd = wake_fd.load(std::memory_order_acquire);
    if (fd >= 0) eventfd_write(fd, 1);
  }
};

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

struct RegisteredClass {
  WNDCLASSEXA data;
  std::string name;
};

struct Desktop {
  std::mutex mutex;
  std::map<const Window*, std::shared_ptr<Window>> windows;
  std::map<std::string, RegisteredClass> classes;  // by lower-case name
  std::set<const Menu*> menus;                     // every node of every loaded menu
  std::set<const Menu*> menu_roots;
  std::vector<HWND> open_dialogs;  // modal dialogs, innermost last
  platform::DesktopBackend* backend = nullptr;
};

Desktop& desktop() {
  static Desktop* const instance = new Desktop;
  return *instance;
}

thread_local std::shared_ptr<MessageQueue> thread_queue;

const std::shared_ptr<MessageQueue>& my_queue() {
  if (!thread_queue) thread_queue = std::make_shared<MessageQueue>();
  return thread_queue;
}

std::shared_ptr<Window> find_window(HWND handle) {
  if (handle == nullptr) return nullptr;
  Desktop& d = desktop();
  std::lock_guard<std::mutex> lock(d.mutex);
  auto it = d.windows.find(handle);
  return it == d.windows.end() ? nullptr : it->second;
}

void push(MessageQueue& queue, MessageQueue::Posted item) {
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.posted.push_back(std::move(item));
  }
  queue.wake();
}

BOOL post(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
          std::shared_ptr<platform::DesktopInput> input) {
  std::shared_ptr<MessageQueue> queue;
  if (window == nullptr) {
    queue = my_queue();
  } else {
    std::shared_ptr<Window> target = find_window(window);
    if (!target) return FALSE;
    queue = target->queue;
  }
  push(*queue, {MSG{window, message, wparam, lparam}, std::move(input), {}});
  return TRUE;
}

std::shared_ptr<platform::DesktopInput> current_input() {
  return thread_queue ? thread_queue->current_input : nullptr;
}

void tell_input(platform::DesktopEvent what, const std::string& detail) {
  if (auto input = current_input()) input->event(what, detail);
}

void add_menu_nodes(Desktop& d, const Menu& menu) {
  d.menus.insert(&menu);
  for (const Menu::Item& item : menu.items) {
    if (item.popup) add_menu_nodes(d, *item.popup);
  }
}

void remove_menu_nodes(Desktop& d, const Menu& menu) {
  d.menus.erase(&menu);
  for (const Menu::Item& item : menu.items) {
    if (item.popup) remove_menu_nodes(d, *item.popup);
  }
}

// Builds one level of a menu template from `next` on; a popup's items follow
// it, and an item flagged MF_END closes the level.
void build_menu(std::span<const MENUITEMTEMPLATEA> items, std::size_t& next, Menu& into) {
  while (next < items.size()) {
    const MENUITEMTEMPLATEA& source = items[next++];
    Menu::Item item;
    item.text = source.text != nullptr ? source.text : "";
    item.id = source.id;
    item.flags = source.flags & (MF_POPUP | MF_SEPARATOR);
    if (item.flags & MF_POPUP) {
      item.popup = std::make_unique<Menu>();
      build_menu(items, next, *item.popup);
    }
    into.items.push_back(std::move(item));
    if (source.flags & MF_END) return;
  }
}

bool same_resource_name(const char* wanted, const char* name) {
  if (IS_INTRESOURCE(wanted) || IS_INTRESOURCE(name)) return wanted == name;
  return lower(wanted) == lower(name);
}

const platform::ResourceModule* module_of(HINSTANCE instance) {
  return static_cast<const platform::ResourceModule*>(instance);
}

LRESULT call_procedure(const std::shared_ptr<Window>& window, UINT message, WPARAM wparam,
                       LPARAM lparam) {
  HWND handle = window.get();
  if (window->is_dialog) {
    return window->dialog_procedure != nullptr
               ? window->dialog_procedure(handle, message, wparam, lparam)
               : 0;
  }
  return window->procedure != nullptr ? window->procedure(handle, message, wparam, lparam) : 0;
}

}  // namespace

// ---- Window classes and windows ------------------------------------------

ATOM RegisterClassExA(const WNDCLASSEXA* window_class) {
  if (window_class == nullptr || window_class->lpszClassName == nullptr ||
      IS_INTRESOURCE(window_class->lpszClassName) || window_class->lpszClassName[0] == '\0') {
    return 0;
  }
  Desktop& d = desktop();
  std::lock_guard<std::mutex> lock(d.mutex);
  std::string key = lower(window_class->lpszClassName);
  if (d.classes.count(key) != 0) return 0;
  RegisteredClass entry{*window_class, window_class->lpszClassName};
  d.classes.emplace(key, std::move(entry));
  return static_cast<ATOM>(0xC000 + d.classes.size());
}

HWND CreateWindowExA(DWORD, const char* class_name, const char* title, DWORD, int, int, int, int,
                     HWND parent, HMENU, HINSTANCE, void* param) {
  if (class_name == nullptr || IS_INTRESOURCE(class_name)) return nullptr;
  auto window = std::make_shared<Window>();
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = d.classes.find(lower(class_name));
    if (it == d.classes.end()) return nullptr;
    window->procedure = it->second.data.lpfnWndProc;
    window->class_name = it->second.name;
  }
  window->title = title != nullptr ? title : "";
  window->owner = parent;
  window->thread = std::this_thread::get_id();
  window->queue = my_queue();
  HWND handle = window.get();
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.windows.emplace(handle, window);
  }
  if (call_procedure(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(param)) == -1) {
    DestroyWindow(handle);
    return nullptr;
  }
  return IsWindow(handle) ? handle : nullptr;
}

BOOL DestroyWindow(HWND handle) {
  std::shared_ptr<Window> window = find_window(handle);
  if (!window) return FALSE;
  if (window->thread != std::this_thread::get_id()) {
    // Only the owner thread may run the window's procedure: hand the work to
    // its message loop and wait for it.
    struct Outcome {
      std::mutex mutex;
      std::condition_variable done_signal;
      bool done = false;
      BOOL result = FALSE;
    };
    auto outcome = std::make_shared<Outcome>();
    push(*window->queue, {MSG{}, nullptr, [handle, outcome] {
                            BOOL result = DestroyWindow(handle);
                            my_queue()->destroyed_for_other_thread = true;
                            std::lock_guard<std::mutex> lock(outcome->mutex);
                            outcome->result = result;
                            outcome->done = true;
                            outcome->done_signal.notify_all();
                          }});
    std::unique_lock<std::mutex> lock(outcome->mutex);
    outcome->done_signal.wait_for(lock, std::chrono::milliseconds(platform::CROSS_THREAD_WAIT_MS),
                                  [&] { return outcome->done; });
    return outcome->done ? outcome->result : FALSE;
  }
  if (window->destroying) return FALSE;
  window->destroying = true;

  // Owned windows (an open dialog) go first, as their owner disappears.
  std::vector<HWND> owned;
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    for (const auto& [key, other] : d.windows) {
      if (other->owner == handle) owned.push_back(other.get());
    }
  }
  for (HWND child : owned) DestroyWindow(child);

  call_procedure(window, WM_DESTROY, 0, 0);
  Desktop& d = desktop();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.windows.erase(handle);
  return TRUE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

BOOL IsWindow(HWND window) {
  return find_window(window) ? TRUE : FALSE;
}

BOOL SetForegroundWindow(HWND window) {
  return IsWindow(window);
}

BOOL GetCursorPos(POINT* point) {
  if (point == nullptr) return FALSE;
  // Without a pointer of its own the desktop opens menus at its origin.
  *point = POINT{0, 0};
  return TRUE;
}

HICON LoadIconA(HINSTANCE instance, const char* name) {
  const platform::ResourceModule* module = module_of(instance);
  if (module == nullptr || !IS_INTRESOURCE(name)) return nullptr;
  for (const platform::IconResource& icon : module->icons) {
    if (icon.id == reinterpret_cast<std::uintptr_t>(name)) return &icon;
  }
  return nullptr;
}

HCURSOR LoadCursorA(HINSTANCE instance, const char* name) {
  static const char arrow = 0;
  return instance == nullptr && name == IDC_ARROW ? &arrow : nullptr;
}

// ---- Message queues -------------------------------------------------------

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return post(window, message, wparam, lparam, nullptr);
}

void PostQuitMessage(int exit_code) {
  MessageQueue& queue = *my_queue();
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.quit = true;
    queue.quit_code = exit_code;
  }
  queue.wake();
}

BOOL GetMessageA(MSG* message, HWND, UINT, UINT) {
  MessageQueue& queue = *my_queue();
  for (;;) {
    MessageQueue::Posted item;
    bool have_item = false;
    bool quit = false;
    {
      std::unique_lock<std::mutex> lock(queue.mutex);
      if (!queue.posted.empty()) {
        item = std::move(queue.posted.front());
        queue.posted.pop_front();
        have_item = true;
      } else if (queue.quit) {
        queue.quit = false;
        quit = true;
      } else if (!queue.current_input) {
        if (queue.waiter != nullptr) {
          // The other event loop runs until something is posted; the count
          // is taken before the queue is looked at again, so a post made
          // meanwhile leaves the descriptor readable for the next wait.
          lock.unlock();
          queue.waiter->wait_readable(queue.wake_fd);
          eventfd_t count = 0;
          eventfd_read(queue.wake_fd, &count);
          continue;
        }
        queue.ready.wait(lock, [&] { return !queue.posted.empty() || queue.quit; });
        continue;
      }
    }
    if (quit) {
      if (queue.destroyed_for_other_thread) {
        // The thread that had the window destroyed is ending the process
        // (a fatal start-up failure); give it the time to do so with its
        // own exit status before this thread's loop ends.
        queue.destroyed_for_other_thread = false;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(platform::OTHER_THREAD_EXIT_GRACE_MS));
      }
      if (queue.current_input) {
        queue.current_input->event(platform::DesktopEvent::loop_ended, "");
        queue.current_input.reset();
      }
      if (message != nullptr) *message = MSG{nullptr, WM_QUIT, WPARAM(queue.quit_code), 0};
      return FALSE;
    }
    if (!have_item) {
      // Nothing left to do: the input in progress is over.
      queue.current_input.reset();
      continue;
    }
    if (item.task) {
      item.task();
      continue;
    }
    if (item.message.hwnd != nullptr && !IsWindow(item.message.hwnd)) continue;
    if (item.input) {
      std::swap(queue.current_input, item.input);
      item.input.reset();  // an earlier input is over once a new one starts
    }
    if (message != nullptr) *message = item.message;
    return TRUE;
  }
}

BOOL TranslateMessage(const MSG*) {
  return FALSE;
}

LRESULT DispatchMessageA(const MSG* message) {
  if (message == nullptr) return 0;
  std::shared_ptr<Window> window = find_window(message->hwnd);
  if (!window || window->thread != std::this_thread::get_id()) return 0;
  return call_procedure(window, message->message, message->wParam, message->lParam);
}

// ---- The tray icon --------------------------------------------------------

BOOL Shell_NotifyIconA(DWORD action, NOTIFYICONDATAA* data) {
  if (data == nullptr || !IsWindow(data->hWnd)) return FALSE;
  platform::DesktopBackend& backend = platform::desktop_backend();
  switch (action) {
    case NIM_ADD: {
      NOTIFYICONDATAA copy = *data;
      copy.szTip[sizeof copy.szTip - 1] = '\0';
      return backend.add_icon(copy);
    }
    case NIM_MODIFY: {
      NOTIFYICONDATAA copy = *data;
      copy.szTip[sizeof copy.szTip - 1] = '\0';
      return backend.modify_icon(copy);
    }
    case NIM_DELETE:
      if (!backend.delete_icon(data->hWnd, data->uID)) return FALSE;
      tell_input(platform::DesktopEvent::icon_removed, "");
      return TRUE;
    default:
      return FALSE;
  }
}

// ---- Menus ----------------------------------------------------------------

HMENU LoadMenuA(HINSTANCE instance, const char* name) {
  const platform::ResourceModule* module = module_of(instance);
  if (module == nullptr || name == nullptr) return nullptr;
  for (const platform::MenuResource& resource : module->menus) {
    if (!same_resource_name(name, resource.name)) continue;
    auto menu = std::make_unique<Menu>();
    std::size_t next = 0;
    build_menu(resource.items, next, *menu);
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    add_menu_nodes(d, *menu);
    d.menu_roots.insert(menu.get());
    return menu.release();
  }
  return nullptr;
}

HMENU GetSubMenu(HMENU menu, int position) {
  Desktop& d = desktop();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.menus.count(menu) == 0 || position < 0 ||
      static_cast<std::size_t>(position) >= menu->items.size()) {
    return nullptr;
  }
  return menu->items[position].popup.get();
}

BOOL DestroyMenu(HMENU menu) {
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.menu_roots.count(menu) == 0) return FALSE;
    d.menu_roots.erase(menu);
    remove_menu_nodes(d, *menu);
  }
  delete menu;
  return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*) {
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.menus.count(menu) == 0) return FALSE;
  }
  UINT chosen = 0;
  if (auto input = current_input()) {
    chosen = input->choose_from_menu(*menu);
  } else {
    chosen = platform::desktop_backend().track_menu(*menu, owner, POINT{x, y});
  }
  if (flags & TPM_RETURNCMD) return static_cast<BOOL>(chosen);
  if (chosen != 0) PostMessageA(owner, WM_COMMAND, chosen, 0);
  return TRUE;
}

// ---- Modal dialogs --------------------------------------------------------

INT_PTR DialogBoxParamA(HINSTANCE instance, const char* name, HWND owner, DLGPROC procedure,
                        LPARAM param) {
  const platform::ResourceModule* module = module_of(instance);
  if (module == nullptr || name == nullptr) return -1;
  const DLGTEMPLATEA* dialog_template = nullptr;
  for (const platform::DialogResource& resource : module->dialogs) {
    if (same_resource_name(name, resource.name)) dialog_template = resource.dialog;
  }
  if (dialog_template == nullptr) return -1;

  auto dialog = std::make_shared<Window>();
  dialog->is_dialog = true;
  dialog->dialog_procedure = procedure;
  dialog->class_name = "#32770";
  dialog->title = dialog_template->caption != nullptr ? dialog_template->caption : "";
  dialog->owner = owner;
  dialog->thread = std::this_thread::get_id();
  dialog->queue = my_queue();
  HWND handle = dialog.get();
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.windows.emplace(handle, dialog);
    d.open_dialogs.push_back(handle);
  }
  call_procedure(dialog, WM_INITDIALOG, 0, param);
  const bool shown = !dialog->dialog_ended;
  if (shown) {
    platform::desktop_backend().dialog_opened(handle, instance, *dialog_template);
    tell_input(platform::DesktopEvent::dialog_opened, dialog->title);
  }

  while (!dialog->dialog_ended && IsWindow(handle)) {
    MSG message;
    if (!GetMessageA(&message, nullptr, 0, 0)) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (message.hwnd == handle && message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
      // The dialog manager's reading of Escape.
      call_procedure(dialog, WM_COMMAND, IDCANCEL, 0);
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  INT_PTR result = dialog->dialog_ended ? dialog->dialog_result : 0;
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    std::erase(d.open_dialogs, handle);
  }
  DestroyWindow(handle);
  if (shown) platform::desktop_backend().dialog_closed(handle);
  tell_input(platform::DesktopEvent::dialog_closed, dialog->title);
  return result;
}

BOOL EndDialog(HWND handle, INT_PTR result) {
  std::shared_ptr<Window> dialog = find_window(handle);
  if (!dialog || !dialog->is_dialog || dialog->thread != std::this_thread::get_id()) return FALSE;
  dialog->dialog_ended = true;
  dialog->dialog_result = result;
  return TRUE;
}

namespace platform {

BOOL post_input(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                std::shared_ptr<DesktopInput> input) {
  return post(window, message, wparam, lparam, std::move(input));
}

void set_thread_waiter(ThreadWaiter* waiter) {
  MessageQueue& queue = *my_queue();
  if (waiter != nullptr && queue.wake_fd < 0) {
    queue.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (queue.wake_fd < 0) return;  // without one, the thread sleeps as usual
  }
  queue.waiter = waiter;
}

void set_desktop_backend(DesktopBackend* backend) {
  Desktop& d = desktop();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.backend = backend;
}

DesktopBackend& desktop_backend() {
  {
    Desktop& d = desktop();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.backend != nullptr) return *d.backend;
  }
  // Until a program installs its backend, icons are not shown and menus
  // opened without input choose nothing.
  struct NoBackend : DesktopBackend {
    BOOL add_icon(const NOTIFYICONDATAA&) override { return FALSE; }
    BOOL delete_icon(HWND, UINT) override { return FALSE; }
    UINT track_menu(const Menu&, HWND, POINT) override { return 0; }
  };
  static NoBackend* const none = new NoBackend;  // never freed: other threads may still call it
  return *none;
}

HWND open_dialog() {
  Desktop& d = desktop();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.open_dialogs.empty() ? nullptr : d.open_dialogs.back();
}

std::string dialog_caption(HWND handle) {
  std::shared_ptr<Window> window = find_window(handle);
  return window && window->is_dialog ? window->title : std::string();
}

int message_box_at_input(const char* text, const char* caption, UINT type) {
  auto input = current_input();
  return input ? input->message_box(text, caption, type) : 0;
}

namespace {

int stop_signal_pipe[2] = {-1, -1};

void on_stop_signal(int signal_number) {
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  const int saved_errno = errno;
  [[maybe_unused]] ssize_t written = write(stop_signal_pipe[1], &byte, 1);
  errno = saved_errno;
}

void close_windows_on_signal() {
  for (;;) {
    unsigned char byte = 0;
    ssize_t got = read(stop_signal_pipe[0], &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got != 1) return;
    std::vector<HWND> top_level;
    {
      Desktop& d = desktop();
      std::lock_guard<std::mutex> lock(d.mutex);
      for (const auto& [key, window] : d.windows) {
        if (!window->is_dialog && window->owner == nullptr) top_level.push_back(window.get());
      }
    }
    if (top_level.empty()) _exit(128 + byte);
    for (HWND window : top_level) PostMessageA(window, WM_CLOSE, 0, 0);
  }
}

}  // namespace

void close_windows_on_stop_signals() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (pipe2(stop_signal_pipe, O_CLOEXEC) != 0) return;
    std::thread(close_windows_on_signal).detach();
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
  });
}

}  // namespace platform
