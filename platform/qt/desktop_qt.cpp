// The Qt desktop backend. Qt's widgets live on the user interface thread
// only: calls that arrive from other threads (a proxy thread's message box,
// its removal of the tray icon on a fatal path) are handed to that thread
// through Qt's own queue. The program's message loop and Qt's event loop
// share the thread: while GetMessageA has nothing to return it runs a Qt event
// loop that an eventfd, signalled by every post, ends (QSocketNotifier), so
// neither loop polls.
#include "platform/qt/desktop_qt.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>

#include "platform/desktop.h"
#include "platform/desktop_socket.h"
#include "platform/files.h"
#include "platform/msgbox.h"
#include "platform/registry.h"

namespace platform {

namespace {

// Sizes the tray icon is drawn at; the tray picks the one it needs.
constexpr int ICON_SIZES[] = {16, 22, 24, 32, 48, 64, 128};
// The size of the icon in dialogs.
constexpr int DIALOG_ICON_SIZE = 32;
// Where the user's choice about the no-tray notice is kept.
constexpr char DESKTOP_KEY[] = "Software\\Vellomar\\Desktop";
constexpr char TRAY_NOTICE_VALUE[] = "Show Tray Notice";
constexpr char NO_TRAY_NOTICE[] =
    "Vellomar is running and blocks ads, but this desktop shows no tray icons, so Vellomar has "
    "no icon to click.\n\n"
    "Its settings are at http://127.0.0.1:8000/ in your browser. The command \"vmtray menu\" "
    "shows the tray menu in a terminal, and \"vmtray choose 'Exit Vellomar'\" ends Vellomar.\n\n"
    "On GNOME, the AppIndicator extension (gnome-shell-extension-appindicator) brings tray "
    "icons back.";

std::atomic<bool> gui_alive{false};

bool on_gui_thread() {
  return QCoreApplication::instance() != nullptr &&
         QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Runs `work` on the user interface thread; from another thread it is queued
// and this call returns at once.
void on_gui(std::function<void()> work) {
  if (on_gui_thread()) {
    work();
  } else if (gui_alive && QCoreApplication::instance() != nullptr) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
  }
}

// ---- The trace of what is shown, for tests --------------------------------

void trace(const QString& line) {
  const char* file = std::getenv("VELLOMAR_DESKTOP_TRACE");
  if (file == nullptr || file[0] == '\0') return;
  QByteArray bytes = line.toUtf8();
  bytes.replace('\n', "\\n");
  bytes.append('\n');
  const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  write_whole(fd, bytes.constData(), static_cast<std::size_t>(bytes.size()));
  close(fd);
}

QString rect_text(const QRect& r) {
  return QString("%1 %2 %3 %4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// ---- Icons ----------------------------------------------------------------

// The original desktop's 16-colour palette, which ICONIMAGE rows index.
constexpr QRgb PALETTE[16] = {
    0xff000000, 0xff800000, 0xff008000, 0xff808000, 0xff000080, 0xff800080, 0xff008080, 0xffc0c0c0,
    0xff808080, 0xffff0000, 0xff00ff00, 0xffffff00, 0xff0000ff, 0xffff00ff, 0xff00ffff, 0xffffffff};

QImage image_from_rows(const ICONIMAGE& source) {
  QImage image(source.width, source.height, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  for (int y = 0; y < source.height && static_cast<std::size_t>(y) < source.rows.size(); ++y) {
    const char* row = source.rows[static_cast<std::size_t>(y)];
    for (int x = 0; x < source.width && row[x] != '\0'; ++x) {
      const int index = QChar(row[x]).digitValue();
      if (index >= 0 && index < 16 && row[x] != '.') image.setPixel(x, y, PALETTE[index]);
    }
  }
  return image;
}

QPixmap draw_icon(HICON icon, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  if (icon == nullptr) return pixmap;
  if (icon->svg != nullptr) {
    QSvgRenderer renderer(QByteArray(icon->svg));
    QPainter painter(&pixmap);
    renderer.render(&painter);
  } else if (!icon->images.empty()) {
    pixmap =
        QPixmap::fromImage(image_from_rows(icon->images.front())
                               .scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  return pixmap;
}

QIcon make_icon(HICON icon) {
  QIcon result;
  for (int size : ICON_SIZES) result.addPixmap(draw_icon(icon, size));
  return result;
}

QString plain(const char* text) {
  // Boxes written for the original desktop end lines with CR LF.
  return QString::fromUtf8(text != nullptr ? text : "").replace("\r\n", "\n");
}

// ---- Menus ----------------------------------------------------------------

void fill_menu(QMenu& into, const Menu& menu) {
  for (const Menu::Item& item : menu.items) {
    if (item.flags & MF_SEPARATOR) {
      into.addSeparator();
      continue;
    }
    // "&" marks a keyboard shortcut in Qt; the menu resources have none.
    QString text = QString::fromUtf8(item.text.c_str()).replace("&", "&&");
    if (item.popup) {
      QMenu* popup = into.addMenu(text);
      fill_menu(*popup, *item.popup);
    } else {
      into.addAction(text)->setData(item.id);
    }
  }
}

void trace_menu(const QMenu& menu, const QString& indent) {
  for (QAction* action : menu.actions()) {
    QRect place(menu.mapToGlobal(menu.actionGeometry(action).topLeft()),
                menu.actionGeometry(action).size());
    if (action->isSeparator()) {
      trace("menu-item " + rect_text(place) + " " + indent + "----");
    } else if (action->menu() != nullptr) {
      trace("menu-item " + rect_text(place) + " " + indent + action->text() + " >");
      // A closed submenu has no place yet; its items are listed all the same.
      for (QAction* sub : action->menu()->actions()) {
        trace("menu-item 0 0 0 0 " + indent + "    " + (sub->isSeparator() ? "----" : sub->text()));
      }
    } else {
      trace("menu-item " + rect_text(place) + " " + indent + action->text());
    }
  }
}

// Shows a popup menu at `at` and returns the chosen command, or 0.
UINT show_menu(const Menu& menu, QPoint at) {
  QMenu shown;
  fill_menu(shown, menu);
  QObject::connect(&shown, &QMenu::aboutToShow, &shown, [&shown] {
    QTimer::singleShot(0, &shown, [&shown] {
      trace("menu-open " + rect_text(shown.geometry()));
      trace_menu(shown, "");
      trace("menu-end");
    });
  });
  QAction* chosen = shown.exec(at);
  trace("menu-closed " + (chosen != nullptr ? chosen->text() : QString()));
  return chosen != nullptr ? chosen->data().toUInt() : 0;
}

// Input that started at the real tray icon: its menus open at the pointer,
// its boxes are shown by the program itself.
class PointerInput : public DesktopInput {
 public:
  UINT choose_from_menu(const Menu& menu) override { return show_menu(menu, QCursor::pos()); }
  void event(DesktopEvent, const std::string&) override {}
  int message_box(const char*, const char*, UINT) override { return 0; }
};

// Whether Qt shows tray icons as StatusNotifierItems: a watcher is on the
// session bus and a host has registered with it (Qt's own test). Such hosts
// draw the item's menu themselves from the copy the item exports (DBusMenu),
// and most of them show nothing of the program's own on a right click.
bool status_notifier_host_present() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString watcher = "org.kde.StatusNotifierWatcher";
  if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcher).value()) return false;
  QDBusInterface properties(watcher, "/StatusNotifierWatcher", watcher, bus);
  return properties.property("IsStatusNotifierHostRegistered").toBool();
}

// Fills the menu a StatusNotifier host shows with the items the program's
// right click would open now. The program then goes on as after a menu closed
// with nothing chosen; a choice made later in the host's copy reaches it as
// the command, as a choice in its own menu does.
class ExportMenuInput : public DesktopInput {
 public:
  explicit ExportMenuInput(QMenu* into) : into_(into) {}
  UINT choose_from_menu(const Menu& menu) override {
    into_->clear();
    fill_menu(*into_, menu);
    trace("menu-exported");
    trace_menu(*into_, "");
    trace("menu-end");
    return 0;
  }
  void event(DesktopEvent, const std::string&) override {}
  int message_box(const char*, const char*, UINT) override { return 0; }

 private:
  QMenu* into_;
};

// ---- Dialogs --------------------------------------------------------------

// A dialog built from a dialog template. Closing it is the program's
// decision: Escape and the title bar's close button post Escape to the
// dialog window, and each button posts its command, as the original desktop's
// dialog manager does; the dialog goes when the program ends it.
class TemplateDialog : public QDialog {
 public:
  TemplateDialog(HWND window, HINSTANCE instance, const DLGTEMPLATEA& source) : window_(window) {
    setWindowTitle(QString::fromUtf8(source.caption != nullptr ? source.caption : ""));
    setWindowModality(Qt::ApplicationModal);
    const QFontMetrics metrics(font());
    // Dialog units: a quarter of the average character width, an eighth of
    // the font's height.
    double unit_x = metrics.averageCharWidth() / 4.0;
    const double unit_y = metrics.height() / 8.0;
    // Texts were sized for the original desktop's narrower font: the whole
    // dialog widens until the longest of them fits.
    double widen = 1.0;
    for (const DLGITEMTEMPLATEA& item : source.items) {
      if (item.class_name == nullptr || std::strcmp(item.class_name, "STATIC") != 0 ||
          (item.style & 0xF) == SS_ICON || item.text == nullptr || item.cx <= 0) {
        continue;
      }
      const double needed = metrics.horizontalAdvance(QString::fromUtf8(item.text)) + 4.0;
      widen = std::max(widen, needed / (item.cx * unit_x));
    }
    unit_x *= widen;
    auto place = [&](short x, short y, short cx, short cy) {
      return QRect(qRound(x * unit_x), qRound(y * unit_y), qRound(cx * unit_x),
                   qRound(cy * unit_y));
    };
    for (const DLGITEMTEMPLATEA& item : source.items) {
      const QRect where = place(item.x, item.y, item.cx, item.cy);
      const std::string class_name = item.class_name != nullptr ? item.class_name : "";
      const DWORD kind = item.style & 0xF;
      if (class_name == "STATIC" && kind == SS_ICON) {
        auto* label = new QLabel(this);
        // The icon's resource id, written "#107" as resource scripts do.
        const char* name = item.text != nullptr && item.text[0] == '#'
                               ? MAKEINTRESOURCEA(std::strtoul(item.text + 1, nullptr, 10))
                               : item.text;
        label->setPixmap(draw_icon(LoadIconA(instance, name), DIALOG_ICON_SIZE));
        label->setGeometry(QRect(where.topLeft(), QSize(DIALOG_ICON_SIZE, DIALOG_ICON_SIZE)));
      } else if (class_name == "STATIC") {
        auto* label = new QLabel(QString::fromUtf8(item.text != nullptr ? item.text : ""), this);
        label->setTextFormat(Qt::PlainText);
        label->setGeometry(where);
      } else if (class_name == "BUTTON" && kind == BS_GROUPBOX) {
        auto* box = new QGroupBox(QString::fromUtf8(item.text != nullptr ? item.text : ""), this);
        box->setGeometry(where);
        box->lower();
      } else if (class_name == "BUTTON") {
        auto* button = new QPushButton(QString::fromUtf8(item.text), this);
        button->setGeometry(where);
        button->setDefault(kind == BS_DEFPUSHBUTTON);
        button->setAutoDefault(kind == BS_DEFPUSHBUTTON);
        const int id = item.id;
        connect(button, &QPushButton::clicked, this,
                [this, id] { PostMessageA(window_, WM_COMMAND, static_cast<WPARAM>(id), 0); });
      }
    }
    setFixedSize(place(0, 0, source.cx, source.cy).size());
    if (source.style & DS_CENTER) {
      if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->geometry().center() - rect().center());
      }
    }
  }
  void reject() override { PostMessageA(window_, WM_KEYDOWN, VK_ESCAPE, 0); }

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    reject();
  }

 private:
  HWND window_;
};

// ---- Message boxes --------------------------------------------------------

int box_here(const char* text, const char* caption, UINT type) {
  QMessageBox box;
  box.setWindowTitle(plain(caption));
  box.setTextFormat(Qt::PlainText);
  box.setText(plain(text));
  switch (type & 0xF0) {
    case MB_ICONHAND:
      box.setIcon(QMessageBox::Critical);
      break;
    case MB_ICONQUESTION:
      box.setIcon(QMessageBox::Question);
      break;
    case MB_ICONWARNING:
      box.setIcon(QMessageBox::Warning);
      break;
    case MB_ICONASTERISK:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      break;
  }
  switch (type & 0x0F) {
    case MB_OKCANCEL:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Ok);
      break;
    case MB_YESNOCANCEL:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Yes);
      break;
    case MB_YESNO:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::Yes);
      break;
    default:
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  trace("box-open " + plain(caption));
  const int pressed = box.exec();
  trace("box-closed " + plain(caption));
  switch (pressed) {
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    case QMessageBox::Cancel:
      return IDCANCEL;
    default:
      return IDOK;
  }
}

// The message box shower: on the user interface thread at once; from another
// thread handed to it and waited for.
int show_box(const char* text, const char* caption, UINT type) {
  if (!gui_alive) return 0;
  if (on_gui_thread()) return box_here(text, caption, type);
  struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    int value = -1;
  };
  auto answer = std::make_shared<Answer>();
  std::string text_copy = text, caption_copy = caption;
  on_gui([answer, text_copy, caption_copy, type] {
    const int value = box_here(text_copy.c_str(), caption_copy.c_str(), type);
    std::lock_guard<std::mutex> lock(answer->mutex);
    answer->value = value;
    answer->done.notify_all();
  });
  std::unique_lock<std::mutex> lock(answer->mutex);
  answer->done.wait(lock, [&] { return answer->value >= 0 || !gui_alive; });
  return answer->value > 0 ? answer->value : 0;
}

// ---- The tray -------------------------------------------------------------

// Shows the icons on the desktop's tray and keeps the socket backend serving
// `vmtray` beside it. Qt objects are touched only on the user interface
// thread; `icons_` is guarded for the other threads' calls.
class QtTray : public DesktopBackend {
 public:
  BOOL add_icon(const NOTIFYICONDATAA& icon) override {
    // The socket decides whether this program owns the machine's icon.
    if (!socket_tray_backend().add_icon(icon)) return FALSE;
    on_gui([this, icon] { show(icon); });
    return TRUE;
  }

  BOOL modify_icon(const NOTIFYICONDATAA& icon) override {
    if (!socket_tray_backend().modify_icon(icon)) return FALSE;
    on_gui([this, icon] { show(icon); });
    return TRUE;
  }

  BOOL delete_icon(HWND window, UINT id) override {
    if (!socket_tray_backend().delete_icon(window, id)) return FALSE;
    on_gui([this, window, id] {
      auto found = icons_.find({window, id});
      if (found == icons_.end()) return;
      found->second->hide();
      delete found->second;
      icons_.erase(found);
      if (auto menu = exported_.find({window, id}); menu != exported_.end()) {
        delete menu->second;
        exported_.erase(menu);
      }
      trace("icon-removed");
    });
    return TRUE;
  }

  UINT track_menu(const Menu& menu, HWND, POINT) override {
    return on_gui_thread() ? show_menu(menu, QCursor::pos()) : 0;
  }

  void dialog_opened(HWND dialog, HINSTANCE instance, const DLGTEMPLATEA& source) override {
    if (!on_gui_thread()) return;
    auto* shown = new TemplateDialog(dialog, instance, source);
    dialogs_[dialog] = shown;
    shown->show();
    shown->raise();
    shown->activateWindow();
    trace("dialog-open " + shown->windowTitle() + " " + rect_text(shown->geometry()));
  }

  void dialog_closed(HWND dialog) override {
    if (!on_gui_thread()) return;
    auto found = dialogs_.find(dialog);
    if (found == dialogs_.end()) return;
    trace("dialog-closed " + found->second->windowTitle());
    delete found->second;
    dialogs_.erase(found);
  }

  // Takes every Qt object away before the application object goes.
  void shut_down() {
    for (auto& [key, icon] : icons_) delete icon;
    icons_.clear();
    for (auto& [key, menu] : exported_) delete menu;
    exported_.clear();
    for (auto& [key, dialog] : dialogs_) delete dialog;
    dialogs_.clear();
  }

 private:
  void show(const NOTIFYICONDATAA& data) {
    QSystemTrayIcon*& icon = icons_[{data.hWnd, data.uID}];
    if (icon == nullptr) {
      icon = new QSystemTrayIcon;
      const HWND window = data.hWnd;
      const UINT id = data.uID;
      QObject::connect(icon, &QSystemTrayIcon::activated,
                       [this, window, id](QSystemTrayIcon::ActivationReason reason) {
                         activated(window, id, reason);
                       });
      if (status_notifier_host_present()) {
        // Owned by the icon's menu, which Qt exports; set before the icon
        // shows, so that the host sees a menu from the start.
        auto* menu = new QMenu;
        QObject::connect(menu, &QMenu::triggered, [window](QAction* chosen) {
          trace("menu-closed " + chosen->text());
          PostMessageA(window, WM_COMMAND, chosen->data().toUInt(), 0);
        });
        QObject::connect(menu, &QMenu::aboutToShow,
                         [this, window, id] { export_menu(window, id); });
        icon->setContextMenu(menu);
        exported_[{window, id}] = menu;
      }
    }
    callbacks_[{data.hWnd, data.uID}] = data.uCallbackMessage;
    icon->setIcon(make_icon(data.hIcon));
    icon->setToolTip(QString::fromUtf8(data.szTip));
    icon->show();
    trace(QString("icon %1 %2").arg(data.hIcon != nullptr ? data.hIcon->id : 0).arg(data.szTip));
    // The menu may differ with what the icon shows (the blocking switch).
    export_menu(data.hWnd, data.uID);
  }

  // Asks the program for its menu as a right click would open it now, for the
  // copy a StatusNotifier host shows; nothing for an XEmbed icon.
  void export_menu(HWND window, UINT id) {
    auto found = exported_.find({window, id});
    if (found == exported_.end()) return;
    post_input(window, callbacks_[{window, id}], id, WM_RBUTTONDOWN,
               std::make_shared<ExportMenuInput>(found->second));
  }

  void activated(HWND window, UINT id, QSystemTrayIcon::ActivationReason reason) {
    LPARAM mouse = 0;
    switch (reason) {
      case QSystemTrayIcon::Context:
        mouse = WM_RBUTTONDOWN;
        break;
      case QSystemTrayIcon::Trigger:
        mouse = WM_LBUTTONDOWN;
        break;
      case QSystemTrayIcon::DoubleClick:
        mouse = WM_LBUTTONDBLCLK;
        break;
      default:
        return;
    }
    trace(QString("icon-clicked %1").arg(mouse));
    post_input(window, callbacks_[{window, id}], id, mouse, std::make_shared<PointerInput>());
  }

  std::map<std::pair<HWND, UINT>, QSystemTrayIcon*> icons_;
  std::map<std::pair<HWND, UINT>, UINT> callbacks_;
  // The menus exported to a StatusNotifier host, one per icon.
  std::map<std::pair<HWND, UINT>, QMenu*> exported_;
  std::map<HWND, TemplateDialog*> dialogs_;
};

// Runs Qt's event loop while the message loop has nothing to do.
class QtWaiter : public ThreadWaiter {
 public:
  void wait_readable(int wake_fd) override {
    if (notifier_ == nullptr || notifier_->socket() != wake_fd) {
      delete notifier_;
      notifier_ = new QSocketNotifier(wake_fd, QSocketNotifier::Read);
      QObject::connect(notifier_, &QSocketNotifier::activated, [this] {
        // Only the wait that runs now ends; the notifier stays off between
        // waits so that a nested loop (a menu, a box) is not woken for
        // messages it does not take.
        notifier_->setEnabled(false);
        if (loop_ != nullptr) loop_->quit();
      });
    }
    QEventLoop loop;
    loop_ = &loop;
    notifier_->setEnabled(true);
    loop.exec();
    loop_ = nullptr;
    notifier_->setEnabled(false);
  }
  ~QtWaiter() override { delete notifier_; }

 private:
  QSocketNotifier* notifier_ = nullptr;
  QEventLoop* loop_ = nullptr;
};

// ---- Finding the display --------------------------------------------------

// A connection to the X display named by DISPLAY, or null when none
// answers. The caller keeps it open until Qt has connected too: an X server
// without other clients starts over when its last client leaves, and a Qt
// that connects during that start-over cannot start at all.
xcb_connection_t* connect_x_display() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') return nullptr;
  xcb_connection_t* connection = xcb_connect(display, nullptr);
  if (xcb_connection_has_error(connection) == 0) return connection;
  xcb_disconnect(connection);
  return nullptr;
}

bool wayland_display_answers() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (display == nullptr || display[0] == '\0') return false;
  std::string path = display;
  if (path[0] != '/') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] == '\0') return false;
    path = std::string(runtime) + "/" + path;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  // Qt reaches Wayland only through its Wayland plugin, which is a package
  // of its own.
  return answers && QFile::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                                  "/platforms/libqwayland-generic.so");
}

bool tray_notice_wanted() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, DESKTOP_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return true;
  }
  char value[8] = {};
  DWORD size = sizeof value - 1;
  const bool hidden = RegQueryValueExA(key, TRAY_NOTICE_VALUE, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
                      value[0] == '0';
  RegCloseKey(key);
  return !hidden;
}

void keep_tray_notice_hidden() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, DESKTOP_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(key, TRAY_NOTICE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>("0"), 2);
  RegCloseKey(key);
}

// Tells the user, without stopping the program, that there is no tray.
void show_tray_notice() {
  std::fprintf(stderr, "vellomar: %s\n", NO_TRAY_NOTICE);
  const char* scripted = std::getenv("VELLOMAR_MSGBOX_ANSWER");
  if ((scripted != nullptr && scripted[0] != '\0') || !tray_notice_wanted()) return;
  auto* notice =
      new QMessageBox(QMessageBox::Information, "Vellomar", NO_TRAY_NOTICE, QMessageBox::Ok);
  notice->setTextFormat(Qt::PlainText);
  notice->setAttribute(Qt::WA_DeleteOnClose);
  auto* never = new QCheckBox("Do not show this again");
  notice->setCheckBox(never);
  QObject::connect(notice, &QMessageBox::finished, [never] {
    if (never->isChecked()) keep_tray_notice_hidden();
  });
  notice->show();
  trace("notice-open no tray");
}

class QtSession : public DesktopSession {
 public:
  QtSession(int& argc, char** argv, DesktopRole role) {
    app_ = std::make_unique<QApplication>(argc, argv);
    app_->setApplicationName("Vellomar");
    app_->setDesktopFileName("vellomar");
    app_->setQuitOnLastWindowClosed(false);
    gui_alive = true;
    set_message_box_shower(show_box);
    set_thread_waiter(&waiter_);
    if (role != DesktopRole::tray_program) return;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      tray_ = new QtTray;  // never freed: other threads may still reach it
      previous_backend_ = &desktop_backend();
      set_desktop_backend(tray_);
      trace("tray available");
    } else {
      trace("tray missing");
      show_tray_notice();
    }
  }
  ~QtSession() override {
    set_message_box_shower(nullptr);
    set_thread_waiter(nullptr);
    gui_alive = false;
    if (tray_ != nullptr) {
      set_desktop_backend(previous_backend_);
      tray_->shut_down();
    }
  }
  bool has_tray() const override { return tray_ != nullptr; }

 private:
  std::unique_ptr<QApplication> app_;
  QtWaiter waiter_;
  QtTray* tray_ = nullptr;
  DesktopBackend* previous_backend_ = nullptr;  // put back when the session ends
};

}  // namespace

std::unique_ptr<DesktopSession> start_desktop(int& argc, char** argv, DesktopRole role) {
  xcb_connection_t* x_display = connect_x_display();
  if (x_display == nullptr) {
    if (!wayland_display_answers()) return nullptr;
    setenv("QT_QPA_PLATFORM", "wayland", 0);
  }
  auto session = std::make_unique<QtSession>(argc, argv, role);
  if (x_display != nullptr) xcb_disconnect(x_display);
  return session;
}

}  // namespace platform
