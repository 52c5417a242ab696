// The built-in tray backend: the tray icon is a Unix socket in the machine's
// folder, and `vmtray` is the hand that clicks it.
//
// The program that adds the first icon binds the socket (mode 0600; a peer of
// another user is refused after SO_PEERCRED) and serves it on a thread of its
// own. A second program of the same machine finds the socket answering and
// does without an icon; a socket left behind by a program that died is
// replaced. The icon's removal takes the socket away, but only if it is still
// the one this program bound.
//
// The protocol is lines of text, fields split by tabs, "\\", "\n", "\t" and
// "\r" escaped. The client sends one request:
//   menu | choose<TAB>TEXT | click<TAB>left|double | key<TAB>escape
// and the program answers, while the input runs its course on the user
// interface thread, with
//   say<TAB>TEXT                  a line for the user
//   box<TAB>TYPE<TAB>CAPTION<TAB>TEXT   a message box; the client answers
//                                 answer<TAB>N
//   end<TAB>STATUS                the input is over; the client's exit status
// The input is over when the user interface thread has nothing left to do:
// waiting for the next message, also inside a modal dialog, which is why a
// chosen "About" answers while the box stays open.
#include "platform/desktop_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/desktop.h"
#include "platform/files.h"

namespace platform {
namespace {

// The longest request or answer line accepted.
constexpr std::size_t MAX_LINE = 8192;
// How long the program waits for a client to send its request.
constexpr int REQUEST_READ_TIMEOUT_MS = 5000;
constexpr int LISTEN_BACKLOG = 8;

std::string escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
  }
  return out;
}

std::vector<std::string> split_fields(const std::string& line, std::size_t max_fields) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (fields.size() + 1 < max_fields) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string::npos) break;
    fields.push_back(unescape(line.substr(start, tab - start)));
    start = tab + 1;
  }
  fields.push_back(unescape(line.substr(start)));
  return fields;
}

bool send_line(int fd, const std::string& line) {
  std::string data = line + "\n";
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads lines from a socket, waiting at most `timeout_ms` for each
// (-1: without limit).
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  std::optional<std::string> next(int timeout_ms) {
    for (;;) {
      std::size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      if (buffer_.size() > MAX_LINE) return std::nullopt;
      pollfd watched{fd_, POLLIN, 0};
      int ready = poll(&watched, 1, timeout_ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char chunk[1024];
      ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

bool peer_is_same_user(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  return credentials.uid == geteuid();
}

bool fill_address(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Finds the item called `text` in a menu and its popups.
const Menu::Item* find_item(const Menu& menu, const std::string& text) {
  for (const Menu::Item& item : menu.items) {
    if (!(item.flags & MF_SEPARATOR) && item.text == text) return &item;
    if (item.popup) {
      if (const Menu::Item* found = find_item(*item.popup, text)) return found;
    }
  }
  return nullptr;
}

void describe_menu(const Menu& menu, const std::string& indent, std::vector<std::string>& lines) {
  for (const Menu::Item& item : menu.items) {
    if (item.flags & MF_SEPARATOR) {
      lines.push_back(indent + "----");
    } else if (item.popup) {
      lines.push_back(indent + item.text + " >");
      describe_menu(*item.popup, indent + "    ", lines);
    } else {
      lines.push_back(indent + item.text);
    }
  }
}

// One client's request, carried through the user interface thread.
class TrayRequest : public DesktopInput {
 public:
  enum class Kind { menu, choose, click, key };
  TrayRequest(int fd, Kind kind, std::string wanted)
      : fd_(fd), reader_(fd), kind_(kind), wanted_(std::move(wanted)) {}
  TrayRequest(const TrayRequest&) = delete;
  TrayRequest& operator=(const TrayRequest&) = delete;

  ~TrayRequest() override {
    if (kind_ == Kind::choose && !menu_seen_) fail("The menu did not open.");
    if (kind_ == Kind::menu && !menu_seen_) fail("The menu did not open.");
    if (kind_ == Kind::click && !said_anything_) say("Delivered; nothing happened.");
    send_line(fd_, "end\t" + std::to_string(status_));
    close(fd_);
  }

  void fail(const std::string& text) {
    say(text);
    status_ = 1;
  }

  void say(const std::string& text) {
    said_anything_ = true;
    send_line(fd_, "say\t" + escape(text));
  }

  UINT choose_from_menu(const Menu& menu) override {
    menu_seen_ = true;
    if (kind_ == Kind::menu) {
      std::vector<std::string> lines;
      describe_menu(menu, "", lines);
      for (const std::string& line : lines) say(line);
      return 0;
    }
    if (kind_ != Kind::choose) return 0;
    const Menu::Item* item = find_item(menu, wanted_);
    if (item == nullptr) {
      fail("The menu has no item \"" + wanted_ + "\".");
      return 0;
    }
    if (item->popup) {
      fail("\"" + wanted_ + "\" opens a submenu: choose one of its items.");
      return 0;
    }
    say("Chose \"" + wanted_ + "\".");
    return item->id;
  }

  void event(DesktopEvent what, const std::string& detail) override {
    switch (what) {
      case DesktopEvent::dialog_opened:
        say("The \"" + detail + "\" box is open; \"vmtray key escape\" closes it.");
        break;
      case DesktopEvent::dialog_closed:
        say("The \"" + detail + "\" box is closed.");
        break;
      case DesktopEvent::icon_removed:
        say("The tray icon is gone.");
        break;
      case DesktopEvent::loop_ended:
        say("Vellomar has ended.");
        break;
    }
  }

  int message_box(const char* text, const char* caption, UINT type) override {
    if (!send_line(fd_,
                   "box\t" + std::to_string(type) + "\t" + escape(caption) + "\t" + escape(text))) {
      return 0;
    }
    std::optional<std::string> line = reader_.next(-1);
    if (!line) return 0;
    std::vector<std::string> fields = split_fields(*line, 2);
    if (fields.size() != 2 || fields[0] != "answer") return 0;
    return std::atoi(fields[1].c_str());
  }

 private:
  int fd_;
  LineReader reader_;
  Kind kind_;
  std::string wanted_;
  bool menu_seen_ = false;
  bool said_anything_ = false;
  int status_ = 0;
};

struct Server {
  int listen_fd = -1;
  std::mutex mutex;
  bool stopping = false;
};

class SocketTray : public DesktopBackend {
 public:
  BOOL add_icon(const NOTIFYICONDATAA& icon) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (icon_) {
      if (icon_->hWnd != icon.hWnd || icon_->uID != icon.uID) return FALSE;
      icon_ = icon;
      return TRUE;
    }
    std::string path = tray_socket_path();
    sockaddr_un address;
    if (!fill_address(path, address)) return FALSE;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return FALSE;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (errno != EADDRINUSE || another_program_serves(address)) {
        close(fd);
        return FALSE;
      }
      // Left behind by a program that is gone.
      unlink(path.c_str());
      if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return FALSE;
      }
    }
    struct stat bound {};
    if (chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &bound) != 0 ||
        listen(fd, LISTEN_BACKLOG) != 0) {
      unlink(path.c_str());
      close(fd);
      return FALSE;
    }
    auto server = std::make_shared<Server>();
    server->listen_fd = fd;
    try {
      std::thread([this, server] { serve(server); }).detach();
    } catch (...) {
      unlink(path.c_str());
      close(fd);
      return FALSE;
    }
    server_ = server;
    path_ = path;
    bound_device_ = bound.st_dev;
    bound_inode_ = bound.st_ino;
    icon_ = icon;
    return TRUE;
  }

  BOOL delete_icon(HWND window, UINT id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!icon_ || icon_->hWnd != window || icon_->uID != id) return FALSE;
    struct stat now {};
    if (stat(path_.c_str(), &now) == 0 && now.st_dev == bound_device_ &&
        now.st_ino == bound_inode_) {
      unlink(path_.c_str());
    }
    {
      std::lock_guard<std::mutex> server_lock(server_->mutex);
      server_->stopping = true;
      shutdown(server_->listen_fd, SHUT_RDWR);
    }
    server_.reset();
    icon_.reset();
    return TRUE;
  }

  BOOL modify_icon(const NOTIFYICONDATAA& icon) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!icon_ || icon_->hWnd != icon.hWnd || icon_->uID != icon.uID) return FALSE;
    icon_ = icon;
    return TRUE;
  }

  UINT track_menu(const Menu&, HWND, POINT) override {
    // Only `vmtray` opens menus here, and it does so as an input.
    return 0;
  }

 private:
  static bool another_program_serves(const sockaddr_un& address) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return true;
    bool answered =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return answered;
  }

  void serve(const std::shared_ptr<Server>& server) {
    for (;;) {
      int client = accept4(server->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        std::lock_guard<std::mutex> lock(server->mutex);
        if (server->stopping) break;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        continue;
      }
      if (!peer_is_same_user(client)) {
        close(client);
        continue;
      }
      handle(client);
    }
    close(server->listen_fd);
  }

  void handle(int client) {
    LineReader reader(client);
    std::optional<std::string> line = reader.next(REQUEST_READ_TIMEOUT_MS);
    if (!line) {
      close(client);
      return;
    }
    std::vector<std::string> fields = split_fields(*line, 2);
    const std::string& verb = fields[0];
    const std::string argument = fields.size() > 1 ? fields[1] : "";

    std::optional<NOTIFYICONDATAA> icon;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      icon = icon_;
    }
    using Kind = TrayRequest::Kind;
    auto reject = [&](const std::string& text) {
      auto request = std::make_shared<TrayRequest>(client, Kind::key, "");
      request->fail(text);
    };
    if (!icon) return reject("Vellomar shows no tray icon.");

    HWND target = icon->hWnd;
    UINT message = icon->uCallbackMessage;
    WPARAM wparam = icon->uID;
    LPARAM lparam = 0;
    std::shared_ptr<TrayRequest> request;
    if (verb == "menu" || verb == "choose") {
      request = std::make_shared<TrayRequest>(client, verb == "menu" ? Kind::menu : Kind::choose,
                                              argument);
      lparam = WM_RBUTTONDOWN;
    } else if (verb == "click" && (argument == "left" || argument == "double")) {
      request = std::make_shared<TrayRequest>(client, Kind::click, "");
      lparam = argument == "left" ? WM_LBUTTONDOWN : WM_LBUTTONDBLCLK;
    } else if (verb == "key" && argument == "escape") {
      target = open_dialog();
      if (target == nullptr) return reject("No dialog box is open.");
      request = std::make_shared<TrayRequest>(client, Kind::key, "");
      message = WM_KEYDOWN;
      wparam = VK_ESCAPE;
    } else {
      return reject("Unknown request: " + *line);
    }
    if (!IsWindow(target)) {
      request->fail("Vellomar's window is gone.");
      return;
    }
    // Handed over whole: the request must end on the user interface thread,
    // which may end the process right after, never later on this one.
    post_input(target, message, wparam, lparam, std::move(request));
  }

  std::mutex mutex_;
  std::optional<NOTIFYICONDATAA> icon_;
  std::shared_ptr<Server> server_;
  std::string path_;
  dev_t bound_device_ = 0;
  ino_t bound_inode_ = 0;
};

}  // namespace

DesktopBackend& socket_tray_backend() {
  static SocketTray* const backend = new SocketTray;
  return *backend;
}

std::string tray_socket_path() {
  return prefix_dir() + "/vmtray.socket";
}

int run_tray_client(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err,
                    MessageBoxFunction message_box) {
  const char* usage =
      "usage: vmtray menu | choose TEXT | click left|double | key escape\n"
      "  menu          print the menu a right-click on the tray icon opens now\n"
      "  choose TEXT   right-click the icon and choose the item TEXT\n"
      "  click left    click the icon with the left button (double: double-click)\n"
      "  key escape    press Escape in the open dialog box\n";
  std::string request;
  const std::size_t count = arguments.size();
  if (count == 1 && arguments[0] == "menu") {
    request = "menu";
  } else if (count >= 2 && arguments[0] == "choose") {
    std::string text;
    for (std::size_t i = 1; i < count; ++i) text += (i > 1 ? " " : "") + arguments[i];
    request = "choose\t" + escape(text);
  } else if (count == 2 && arguments[0] == "click" &&
             (arguments[1] == "left" || arguments[1] == "double")) {
    request = "click\t" + arguments[1];
  } else if (count == 2 && arguments[0] == "key" && arguments[1] == "escape") {
    request = "key\tescape";
  } else {
    std::fputs(usage, err);
    return 2;
  }

  const std::string path = tray_socket_path();
  sockaddr_un address;
  if (!fill_address(path, address)) {
    std::fprintf(err, "vmtray: the machine's folder name is too long for a socket: %s\n",
                 path.c_str());
    return 2;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    std::fprintf(err, "vmtray: Vellomar is not running (no tray icon in %s).\n",
                 prefix_dir().c_str());
    return 2;
  }
  if (!peer_is_same_user(fd)) {
    close(fd);
    std::fprintf(err, "vmtray: %s belongs to another user; not talking to it.\n", path.c_str());
    return 2;
  }
  if (!send_line(fd, request)) {
    close(fd);
    std::fprintf(err, "vmtray: Vellomar did not take the request.\n");
    return 2;
  }
  LineReader reader(fd);
  for (;;) {
    std::optional<std::string> line = reader.next(TRAY_ANSWER_TIMEOUT_SECONDS * 1000);
    if (!line) {
      close(fd);
      std::fprintf(err, "vmtray: Vellomar stopped answering.\n");
      return 2;
    }
    std::vector<std::string> fields = split_fields(*line, 4);
    if (fields[0] == "say" && fields.size() >= 2) {
      std::fprintf(out, "%s\n", fields[1].c_str());
      std::fflush(out);
    } else if (fields[0] == "box" && fields.size() == 4) {
      int answer = message_box(nullptr, fields[3].c_str(), fields[2].c_str(),
                               static_cast<UINT>(std::atoi(fields[1].c_str())));
      send_line(fd, "answer\t" + std::to_string(answer));
    } else if (fields[0] == "end" && fields.size() >= 2) {
      close(fd);
      return std::atoi(fields[1].c_str());
    }
  }
}

}  // namespace platform
