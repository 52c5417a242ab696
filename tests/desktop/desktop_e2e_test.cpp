// The tray application and setup on a real X display (Xvfb) with a real
// tray host (trayer and tint2 for XEmbed icons, xfce4-panel's status tray for
// StatusNotifierItems on a session bus of the test's own) or with none,
// driven by real input (xdotool). The program
// notes what it shows in VELLOMAR_DESKTOP_TRACE, read back from its Qt
// widgets: the menu's items with their places on the screen, the dialogs and
// boxes. Screenshots go to build/tests/artifacts/desktop/.
#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <regex>

#include "tests/support/programs.h"
#include "tests/support/session_bus.h"

namespace {

using vmtest::eventually;
using Machine = vmtest::ProgramMachine;
namespace fs = std::filesystem;

const fs::path ARTIFACTS = fs::path(VELLOMAR_BIN_DIR) / ".." / "tests" / "artifacts" / "desktop";
const std::string HEADLESS_MENU =
    "Remove Vellomar\n----\nOpen Setup >\n    With Internet Explorer\n    With Netscape\n"
    "View Log\n----\nExit Vellomar\nStop Blocking Ads\n----\nAbout Vellomar\n";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Longest a display tool may take.
constexpr int TOOL_TIMEOUT_SECONDS = 30;

// `text` for use inside single quotes of a shell command.
std::string quoted(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out;
}

// Runs a command of the display's tools; its standard output, or nullopt
// when it failed.
std::optional<std::string> tool(const std::string& command) {
  // Bounded: an X client can wait on a server that never answers.
  FILE* pipe = popen(("timeout " + std::to_string(TOOL_TIMEOUT_SECONDS) + " sh -c '" +
                      quoted(command) + "' 2>/dev/null")
                         .c_str(),
                     "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  return pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
}

bool installed(const char* program) {
  return tool(std::string("command -v ") + program).has_value();
}

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  int cx() const { return x + w / 2; }
  int cy() const { return y + h / 2; }
};

void screenshot(const std::string& name, const Rect& area) {
  fs::create_directories(ARTIFACTS);
  const std::string geometry = std::to_string(area.w) + "x" + std::to_string(area.h) + "+" +
                               std::to_string(area.x) + "+" + std::to_string(area.y);
  tool("import -window root -crop " + geometry + " +repage '" + (ARTIFACTS / name).string() + "'");
}

// The pixels of an area of the screen, for comparing.
std::string pixels(const Rect& area) {
  const std::string geometry = std::to_string(area.w) + "x" + std::to_string(area.h) + "+" +
                               std::to_string(area.x) + "+" + std::to_string(area.y);
  return tool("import -window root -crop " + geometry + " +repage -depth 8 rgb:-").value_or("");
}

// xfce4-panel's settings: one panel along the top holding the status tray
// alone (without them the panel asks on its first start what to show).
const char XFCE_PANEL_SETTINGS[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";

// Asks the session bus's StatusNotifierWatcher for a property; dbus-send's
// answer, "" when there is no watcher.
std::string watcher_property(const std::string& name) {
  return tool(
             "dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher "
             "/StatusNotifierWatcher org.freedesktop.DBus.Properties.Get "
             "string:org.kde.StatusNotifierWatcher string:" +
             name)
      .value_or("");
}

// Xvfb on a display of its own with a tray host on it ("" for none).
class Display {
 public:
  Display(const std::string& host, const fs::path& folder) : host_name_(host) {
    if (host == "weston") {
      start_wayland(folder);
      return;
    }
    int fds[2];
    if (pipe(fds) != 0) return;
    xvfb_ = fork();
    if (xvfb_ == 0) {
      close(fds[0]);
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten",
             "tcp", nullptr);
      _exit(127);
    }
    close(fds[1]);
    // The number arrives with a line end, maybe in pieces; the pipe stays
    // open until all of it is read, or the server fails its write.
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return;
    name_ = ":" + number;
    setenv("DISPLAY", name_.c_str(), 1);
    if (host.empty()) {
      // Nothing else connects: the program's own connections are the only
      // ones the server sees, as on a bare X session.
      ready_ = true;
      return;
    }
    const fs::path settings = folder / "host-config";
    if (host == "xfce4-panel") {
      vmtest::write_file(settings / "xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml",
                         XFCE_PANEL_SETTINGS);
      // The panel's settings daemon is started by the bus, with its environment.
      bus_.emplace(std::vector<std::string>{"XDG_CONFIG_HOME=" + settings.string()});
      if (!bus_->started()) return;
    }
    host_ = fork();
    if (host_ == 0) {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      if (host == "trayer") {
        execlp("trayer", "trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
               "--height", "32", "--transparent", "false", nullptr);
      } else if (host == "xfce4-panel") {
        execlp("xfce4-panel", "xfce4-panel", "--disable-wm-check", nullptr);
      } else {
        execlp(host.c_str(), host.c_str(), nullptr);
      }
      _exit(127);
    }
    if (host == "xfce4-panel") {
      ready_ = eventually(
          [] { return contains(watcher_property("IsStatusNotifierHostRegistered"), "true"); });
      std::this_thread::sleep_for(std::chrono::seconds(1));
      // The panel without an icon: what the icon is told apart from.
      empty_tray_ = pixels(tray_area());
      return;
    }
    // The host's window shows first; it takes the tray over right after.
    ready_ = eventually(
        [] { return tool("xdotool search --class '^(trayer|Tint2|tint2)$'").value_or("") != ""; });
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  ~Display() {
    for (pid_t pid : {host_, xvfb_}) {
      if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
    }
    bus_.reset();  // also ends the settings daemon the panel started
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("__EGL_VENDOR_LIBRARY_FILENAMES");
  }
  bool ready() const { return ready_; }
  // A Wayland compositor (weston, headless) and no X server: the programs
  // find WAYLAND_DISPLAY alone.
  void start_wayland(const fs::path& folder) {
    const fs::path runtime = folder / "wayland-runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    host_ = fork();
    if (host_ == 0) {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      execlp("weston", "weston", "--backend=headless-backend.so", "--socket=wayland-vm",
             "--idle-time=0", nullptr);
      _exit(127);
    }
    unsetenv("DISPLAY");
    setenv("WAYLAND_DISPLAY", "wayland-vm", 1);
    // No GPU here: with no EGL vendor to load, Qt draws into shared memory
    // and Mesa's software driver, loaded and unloaded again, stays out of
    // the sanitizer build's leak check.
    setenv("__EGL_VENDOR_LIBRARY_FILENAMES", "/dev/null", 1);
    ready_ = eventually([&] { return fs::exists(runtime / "wayland-vm"); });
  }

  // Where the host shows its icons.
  Rect tray_area() const {
    return host_name_ == "tint2" ? Rect{0, 560, 800, 40} : Rect{0, 0, 800, 40};
  }
  // The icon a host drew itself (xfce4-panel): where the tray area differs
  // from the empty one; an empty rectangle while it does not.
  Rect drawn_icon() const {
    const Rect area = tray_area();
    const std::string now = pixels(area);
    if (now.size() != empty_tray_.size() || now.empty()) return {};
    int left = area.w, top = area.h, right = -1, bottom = -1;
    for (std::size_t i = 0; i < now.size(); i += 3) {
      if (now.compare(i, 3, empty_tray_, i, 3) == 0) continue;
      const int x = static_cast<int>(i / 3) % area.w, y = static_cast<int>(i / 3) / area.w;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
    if (right < 0) return {};
    return Rect{area.x + left, area.y + top, right - left + 1, bottom - top + 1};
  }

 private:
  std::string host_name_;
  pid_t xvfb_ = -1;
  pid_t host_ = -1;
  std::optional<vmtest::SessionBus> bus_;
  std::string name_;
  std::string empty_tray_;
  bool ready_ = false;
};

class DesktopTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    for (const char* program : {"Xvfb", "xdotool", "xprop", "xwininfo", "import"}) {
      if (!installed(program)) GTEST_SKIP() << program << " is not installed";
    }
    if (!GetParam().empty() && !installed(GetParam().c_str())) {
      GTEST_SKIP() << GetParam() << " is not installed";
    }
    if (GetParam() == "weston" &&
        !contains(tool("dpkg-query -W -f='${Status}' qt6-wayland").value_or(""), "ok installed")) {
      GTEST_SKIP() << "qt6-wayland (Qt's Wayland plugin) is not installed";
    }
    if (GetParam() == "xfce4-panel" && !installed("dbus-send")) {
      GTEST_SKIP() << "dbus-send (dbus) is not installed";
    }
    ASSERT_TRUE(eventually(vmtest::port_8000_refused)) << "something else holds port 8000";
    // A server or host that fails to come up is given two more tries.
    for (int attempt = 0; attempt < 3 && (!display_ || !display_->ready()); ++attempt) {
      display_.reset();
      display_ = std::make_unique<Display>(GetParam(), machine_.root());
    }
    ASSERT_TRUE(display_->ready()) << "no tray host on the display";
    trace_ = machine_.root() / "trace.txt";
    machine_.extra_environment = {"VELLOMAR_DESKTOP_TRACE=" + trace_.string()};
    machine_.install_files(/*with_remove_program=*/false);
    machine_.seed_registry();
  }
  void TearDown() override {
    machine_.end_tray_program();
    display_.reset();
  }

  std::string trace() const { return vmtest::read_file(trace_); }
  bool traced(const std::string& line) const {
    return eventually([&] { return contains(trace(), line + "\n"); });
  }

  void start_tray() {
    pid_ = machine_.start_background({(machine_.install_dir() / "Vellomar.exe").string()},
                                     machine_.root());
    ASSERT_TRUE(traced("icon 107 Vellomar")) << trace();
    ASSERT_TRUE(eventually(vmtest::port_8000_serves));
  }

  // Where the tray shows the icon: the window the program's Qt put there, or
  // what the host drew itself for a StatusNotifierItem.
  Rect icon() const {
    Rect found;
    if (GetParam() == "xfce4-panel") {
      eventually([&] { return (found = display_->drawn_icon()).w > 0; });
      return found;
    }
    eventually([&] {
      auto windows = tool("xdotool search --onlyvisible --class '^Vellomar$'");
      if (!windows) return false;
      std::istringstream ids(*windows);
      for (std::string id; ids >> id;) {
        auto shell = tool("xdotool getwindowgeometry --shell " + id);
        std::smatch m;
        if (!shell || !std::regex_search(*shell, m,
                                         std::regex("X=(-?\\d+)\\nY=(-?\\d+)\\nWIDTH=(\\d+)"
                                                    "\\nHEIGHT=(\\d+)"))) {
          continue;
        }
        Rect r{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
        if (r.w > 0 && r.w <= 64 && r.h <= 64) found = r;
      }
      return found.w > 0;
    });
    return found;
  }

  // Right-clicks the icon (at `at`, or where it is found); the menu's items
  // as the trace lists them.
  std::vector<std::pair<std::string, Rect>> open_menu(Rect at = {}) {
    const std::size_t before = trace().size();
    if (at.w == 0) at = icon();
    tool("xdotool mousemove " + std::to_string(at.cx()) + " " + std::to_string(at.cy()) +
         " click 3");
    std::vector<std::pair<std::string, Rect>> items;
    eventually([&] { return contains(trace().substr(before), "menu-end\n"); });
    std::istringstream lines(trace().substr(before));
    const std::regex item("menu-item (-?\\d+) (-?\\d+) (\\d+) (\\d+) (.*)");
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (std::regex_match(line, m, item)) {
        items.push_back(
            {m[5], Rect{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])}});
      }
    }
    // Qt takes clicks once the menu has settled on the screen.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return items;
  }

  void choose(const std::vector<std::pair<std::string, Rect>>& items, const std::string& text) {
    for (const auto& [name, place] : items) {
      if (name != text) continue;
      const std::string click = "xdotool mousemove " + std::to_string(place.cx()) + " " +
                                std::to_string(place.cy()) + " click 1";
      // A click that came before the menu took the pointer is given again.
      for (int attempt = 0; attempt < 3; ++attempt) {
        tool(click);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < deadline) {
          if (contains(trace(), "menu-closed " + text + "\n")) return;
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      }
      ADD_FAILURE() << "the menu did not take " << text << "\n" << trace();
      return;
    }
    ADD_FAILURE() << "no item " << text;
  }

  // Gives the keyboard to the window titled `title` and presses `key`.
  void press_in(const std::string& title, const std::string& key) {
    auto window = tool("timeout 20 xdotool search --sync --onlyvisible --name '^" + title + "$'");
    ASSERT_TRUE(window && !window->empty()) << title;
    const std::string id = window->substr(0, window->find('\n'));
    tool("xdotool windowfocus --sync " + id + " key " + key);
  }

  Machine machine_;
  std::unique_ptr<Display> display_;
  fs::path trace_;
  pid_t pid_ = -1;
};

TEST_P(DesktopTest, IconMenuAndBlockingSwitch) {
  start_tray();
  const Rect at = icon();
  ASSERT_GT(at.w, 0) << "the icon is not on the tray";
  screenshot(GetParam() + "-tray.png", display_->tray_area());
  const std::string icon_on = pixels(at);

  // The menu Qt shows is the one the headless tray describes.
  EXPECT_EQ(machine_.vmtray({"menu"}).out, HEADLESS_MENU);
  auto items = open_menu(at);
  std::string shown;
  for (const auto& item : items) shown += item.first + "\n";
  EXPECT_EQ(shown, HEADLESS_MENU);
  screenshot(GetParam() + "-menu.png", Rect{400, 0, 400, 600});

  choose(items, "Stop Blocking Ads");
  EXPECT_TRUE(traced("icon 109 Vellomar (ad blocking off)")) << trace();
  EXPECT_TRUE(eventually([&] { return contains(machine_.log(), "***** Ad Blocking turned off"); }));
  EXPECT_TRUE(eventually([&] { return pixels(at) != icon_on; })) << "the icon did not change";
  screenshot(GetParam() + "-tray-blocking-off.png", at);
  EXPECT_TRUE(contains(machine_.vmtray({"menu"}).out, "\nStart Blocking Ads\n"));
}

// The menu's labels in the copy a StatusNotifier host reads (DBusMenu), in
// order, submenus' items after their own.
std::vector<std::string> host_menu_labels() {
  std::smatch m;
  const std::string items = watcher_property("RegisteredStatusNotifierItems");
  if (!std::regex_search(items, m, std::regex("string \"([^\"/]+)(/[^\"]+)\""))) return {};
  const std::string service = m[1], item = m[2];
  const std::string menu =
      tool("dbus-send --session --print-reply --dest=" + service + " " + item +
           " org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierItem string:Menu")
          .value_or("");
  if (!std::regex_search(menu, m, std::regex("object path \"([^\"]+)\""))) return {};
  const std::string layout =
      tool("dbus-send --session --print-reply --dest=" + service + " " + std::string(m[1]) +
           " com.canonical.dbusmenu.GetLayout int32:0 int32:-1 array:string:")
          .value_or("");
  std::vector<std::string> labels;
  const std::regex label("string \"label\"\\s*variant\\s*string \"([^\"]*)\"");
  for (std::sregex_iterator it(layout.begin(), layout.end(), label), end; it != end; ++it) {
    labels.push_back((*it)[1]);
  }
  return labels;
}

// A StatusNotifier host (xfce4-panel's status tray) draws the icon and the
// menu itself from what the program exports over D-Bus.
class StatusNotifierTest : public DesktopTest {};

TEST_P(StatusNotifierTest, IconRegistersAndTheHostsMenuChooses) {
  start_tray();
  EXPECT_TRUE(contains(watcher_property("RegisteredStatusNotifierItems"), "/StatusNotifierItem"));
  EXPECT_EQ(tool("xdotool search --class '^Vellomar$'").value_or(""), "") << "an XEmbed icon";
  const Rect at = icon();
  ASSERT_GT(at.w, 0) << "the host shows no icon";
  screenshot(GetParam() + "-tray.png", display_->tray_area());
  const std::string icon_on = pixels(at);

  // The host's copy holds the headless menu's items in order.
  std::vector<std::string> expected;
  std::istringstream headless(HEADLESS_MENU);
  for (std::string line; std::getline(headless, line);) {
    line.erase(0, line.find_first_not_of(' '));
    if (line.ends_with(" >")) line.resize(line.size() - 2);
    if (line != "----") expected.push_back(line);
  }
  EXPECT_TRUE(eventually([&] { return host_menu_labels() == expected; }))
      << ::testing::PrintToString(host_menu_labels());

  // A right click opens the host's menu; the keyboard chooses in it, past
  // Remove, Open Setup, View Log and Exit.
  tool("xdotool mousemove " + std::to_string(at.cx()) + " " + std::to_string(at.cy()) + " click 3");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  screenshot(GetParam() + "-menu.png", Rect{0, 0, 400, 300});
  tool("xdotool key Down Down Down Down Down Return");
  EXPECT_TRUE(traced("menu-closed Stop Blocking Ads")) << trace();
  EXPECT_TRUE(traced("icon 109 Vellomar (ad blocking off)")) << trace();
  EXPECT_TRUE(eventually([&] { return contains(machine_.log(), "***** Ad Blocking turned off"); }));
  EXPECT_TRUE(eventually([&] { return pixels(at) != icon_on; })) << "the icon did not change";
  std::replace(expected.begin(), expected.end(), std::string("Stop Blocking Ads"),
               std::string("Start Blocking Ads"));
  EXPECT_TRUE(eventually([&] { return host_menu_labels() == expected; }))
      << ::testing::PrintToString(host_menu_labels());
}

// Without a tray (GNOME Shell without the AppIndicator extension, a bare
// window manager, a Wayland compositor without one) the program runs as
// without a display but for its dialogs, says once why there is no icon and
// how to reach it, and vmtray reaches it.
class NoTrayTest : public DesktopTest {};

TEST_P(NoTrayTest, SaysWhyThereIsNoIconAndVmtrayStillReachesIt) {
  pid_ = machine_.start_background({(machine_.install_dir() / "Vellomar.exe").string()},
                                   machine_.root());
  ASSERT_TRUE(traced("tray missing"))
      << trace() << vmtest::read_file(machine_.root() / "background.txt");
  ASSERT_TRUE(eventually(vmtest::port_8000_serves));
  EXPECT_TRUE(traced("notice-open no tray")) << trace();
  if (GetParam().empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    screenshot("no-tray-notice.png", Rect{0, 0, 800, 600});
  }
  EXPECT_TRUE(eventually([&] { return contains(machine_.log(), "this display shows no tray"); }))
      << machine_.log();
  EXPECT_TRUE(contains(vmtest::read_file(machine_.root() / "background.txt"),
                       "vellomar: Vellomar is running and blocks ads, but this desktop shows no "
                       "tray icons"));
  EXPECT_EQ(machine_.vmtray({"menu"}).out, HEADLESS_MENU);
}

// Dialogs and boxes do not depend on the tray host: one host is enough.
class DialogTest : public DesktopTest {};

TEST_P(DialogTest, AboutBoxOpensAndEscapeClosesIt) {
  start_tray();
  choose(open_menu(), "About Vellomar");
  ASSERT_TRUE(eventually([&] { return contains(trace(), "dialog-open About Vellomar "); }))
      << trace();
  std::smatch m;
  const std::string all = trace();
  ASSERT_TRUE(std::regex_search(all, m,
                                std::regex("dialog-open About Vellomar (\\d+) (\\d+) "
                                           "(\\d+) (\\d+)")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  screenshot("about.png", Rect{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])});
  press_in("About Vellomar", "Escape");
  EXPECT_TRUE(traced("dialog-closed About Vellomar")) << trace();
  EXPECT_EQ(kill(pid_, 0), 0) << "the program ended";
}

TEST_P(DialogTest, ExitAsksInADialogAndYesEndsTheProgram) {
  start_tray();
  choose(open_menu(), "Exit Vellomar");
  ASSERT_TRUE(traced("box-open Exit Vellomar")) << trace();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  screenshot("exit-question.png", Rect{100, 150, 600, 300});
  // Yes is the default button.
  press_in("Exit Vellomar", "Return");
  EXPECT_EQ(Machine::wait_for(pid_), 0);
  machine_.forget(pid_);
  EXPECT_TRUE(contains(machine_.log(), vmtest::EXITING_LINE));
  ASSERT_EQ(machine_.boxes().size(), 1u);
  EXPECT_TRUE(contains(machine_.boxes()[0], "\"caption\":\"Exit Vellomar\""));
  EXPECT_TRUE(contains(machine_.boxes()[0], "\"answer\":\"yes\""));
}

TEST_P(DialogTest, SetupAsksItsQuestionsAsDialogs) {
  const fs::path dist = machine_.root() / "dist";
  fs::create_directories(dist);
  for (const char* name : {"Vellomar.EX_", "VMRemove.exe", "Vellomar.ini", "Vellomar.txt",
                           "Vellomar.hlp", "Vellomar.log", "setup"}) {
    fs::copy_file(fs::path(VELLOMAR_DIST_DIR) / name, dist / name);
  }
  machine_.record_calls("notepad");
  const pid_t setup = machine_.start({(dist / "setup").string()}, dist);
  ASSERT_TRUE(traced("box-open Vellomar Setup")) << trace();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  screenshot("setup-question.png", Rect{0, 100, 800, 400});
  press_in("Vellomar Setup", "Escape");  // No
  // "Setup Complete." comes next; the tray program that setup started shows
  // its icon meanwhile.
  ASSERT_TRUE(eventually([&] {
    const std::string all = trace();
    return all.find("box-open Vellomar Setup") != all.rfind("box-open Vellomar Setup");
  })) << trace();
  EXPECT_TRUE(traced("icon 107 Vellomar")) << trace();
  press_in("Vellomar Setup", "Return");
  EXPECT_EQ(Machine::wait_for(setup), 0);
  const std::vector<std::string> boxes = machine_.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_TRUE(contains(boxes[0], "\"answer\":\"no\"")) << boxes[0];
  EXPECT_EQ(boxes[1], vmtest::box("Vellomar Setup", "Setup Complete.", 0, "ok"));
  EXPECT_TRUE(eventually([&] { return machine_.calls("notepad") == "1|Vellomar.txt\n"; }));
}

INSTANTIATE_TEST_SUITE_P(TrayHosts, DesktopTest, ::testing::Values("trayer", "tint2"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(TrayHosts, StatusNotifierTest, ::testing::Values("xfce4-panel"),
                         [](const auto&) { return std::string("xfce4_panel"); });
// On X without a tray host, and on Wayland (weston has no tray).
INSTANTIATE_TEST_SUITE_P(NoHost, NoTrayTest, ::testing::Values("", "weston"), [](const auto& info) {
  return std::string(info.param.empty() ? "x11" : "wayland_weston");
});
INSTANTIATE_TEST_SUITE_P(TrayHosts, DialogTest, ::testing::Values("trayer"),
                         [](const auto& info) { return info.param; });

}  // namespace
