// The socket tray backend and its client, vmtray, against a small program
// running its message loop on a thread of its own.
#include "platform/desktop_socket.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/desktop.h"
#include "platform/msgbox.h"
#include "tests/support/machine.h"

namespace {

constexpr UINT CALLBACK_MESSAGE = WM_USER + 1;
constexpr UINT ICON_ID = 7;
constexpr UINT IDM_HELLO = 301;
constexpr UINT IDM_DEEP = 302;
constexpr UINT IDM_BOX = 303;
constexpr UINT IDM_ASK = 304;

constexpr MENUITEMTEMPLATEA menu_items[] = {
    {MF_POPUP | MF_END, 0, "Popup"},
    {MF_STRING, IDM_HELLO, "Say Hello"},
    {MF_POPUP, 0, "Sub"},
    {MF_STRING | MF_END, IDM_DEEP, "Deep Item"},
    {MF_SEPARATOR, 0, ""},
    {MF_STRING, IDM_ASK, "Ask"},
    {MF_STRING | MF_END, IDM_BOX, "Open Box"},
};
constexpr DLGTEMPLATEA box = {"The Box", DS_MODALFRAME, 0, 0, 10, 10, "MS Sans Serif", 8, {}};
constexpr platform::MenuResource menus[] = {{"TRAYMENU", menu_items}};
constexpr platform::DialogResource dialogs[] = {{"THEBOX", &box}};
const platform::ResourceModule module{menus, dialogs, {}};
HINSTANCE instance() {
  return const_cast<platform::ResourceModule*>(&module);
}

std::atomic<int> commands_seen{0};
std::atomic<UINT> last_command{0};
std::atomic<int> box_answer{0};
std::atomic<int> left_clicks{0};

INT_PTR box_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) EndDialog(dialog, 1);
  return message == WM_INITDIALOG;
}

LRESULT tray_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == CALLBACK_MESSAGE) {
    if (lparam == WM_LBUTTONDOWN) ++left_clicks;
    if (lparam != WM_RBUTTONDOWN) return DefWindowProcA(window, message, wparam, lparam);
    HMENU bar = LoadMenuA(instance(), "TRAYMENU");
    TrackPopupMenu(GetSubMenu(bar, 0), 0, 0, 0, 0, window, nullptr);
    DestroyMenu(bar);
    return 1;
  }
  if (message == WM_COMMAND) {
    last_command = LOWORD(wparam);
    ++commands_seen;
    if (LOWORD(wparam) == IDM_BOX) DialogBoxParamA(instance(), "THEBOX", window, box_proc, 0);
    if (LOWORD(wparam) == IDM_ASK) {
      box_answer = platform::message_box_at_input("Really?", "Asking", MB_YESNO);
    }
    return 1;
  }
  if (message == WM_DESTROY) {
    NOTIFYICONDATAA icon{};
    icon.hWnd = window;
    icon.uID = ICON_ID;
    Shell_NotifyIconA(NIM_DELETE, &icon);
    PostQuitMessage(0);
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

// A program with a tray icon, its loop on a thread of its own.
class TrayProgram {
 public:
  TrayProgram() {
    std::atomic<bool> ready{false};
    thread_ = std::thread([this, &ready] {
      static const bool registered = [] {
        WNDCLASSEXA window_class{};
        window_class.lpfnWndProc = tray_proc;
        window_class.lpszClassName = "TRAYTEST";
        return RegisterClassExA(&window_class) != 0;
      }();
      EXPECT_TRUE(registered);
      window_ =
          CreateWindowExA(0, "TRAYTEST", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
      NOTIFYICONDATAA icon{};
      icon.hWnd = window_;
      icon.uID = ICON_ID;
      icon.uFlags = NIF_MESSAGE | NIF_TIP;
      icon.uCallbackMessage = CALLBACK_MESSAGE;
      std::strcpy(icon.szTip, "Test");
      icon_added_ = Shell_NotifyIconA(NIM_ADD, &icon);
      ready = true;
      MSG message;
      while (GetMessageA(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    });
    while (!ready) std::this_thread::yield();
  }
  ~TrayProgram() {
    if (IsWindow(window_)) PostMessageA(window_, WM_CLOSE, 0, 0);
    if (thread_.joinable()) thread_.join();
  }
  BOOL icon_added() const { return icon_added_; }
  HWND window() const { return window_; }
  void wait_until_ended() { thread_.join(); }

 private:
  std::thread thread_;
  HWND window_ = nullptr;
  BOOL icon_added_ = FALSE;
};

int answer_yes(HWND, const char*, const char*, UINT) {
  return IDYES;
}

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result vmtray(std::vector<std::string> arguments) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Result result{platform::run_tray_client(arguments, out, err, answer_yes), "", ""};
  for (auto [file, text] : {std::pair{out, &result.out}, std::pair{err, &result.err}}) {
    std::rewind(file);
    int c;
    while ((c = std::fgetc(file)) != EOF) text->push_back(static_cast<char>(c));
    std::fclose(file);
  }
  return result;
}

class SocketTray : public ::testing::Test {
 protected:
  void SetUp() override {
    commands_seen = 0;
    last_command = 0;
    platform::set_desktop_backend(&platform::socket_tray_backend());
  }
  void TearDown() override { platform::set_desktop_backend(nullptr); }
  vmtest::Machine machine_{"vmtray"};
};

TEST_F(SocketTray, WithoutAProgramVmtraySaysSo) {
  Result r = vmtray({"menu"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
}

TEST_F(SocketTray, BadArgumentsGiveTheUsage) {
  for (auto arguments : std::vector<std::vector<std::string>>{
           {}, {"choose"}, {"click", "right"}, {"key", "enter"}, {"menu", "extra"}}) {
    Result r = vmtray(arguments);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
  }
}

TEST_F(SocketTray, TheSocketIsPrivateAndGoesWithTheIcon) {
  {
    TrayProgram program;
    ASSERT_TRUE(program.icon_added());
    struct stat info {};
    ASSERT_EQ(stat(platform::tray_socket_path().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  EXPECT_FALSE(std::filesystem::exists(platform::tray_socket_path()));
}

TEST_F(SocketTray, MenuPrintsWhatARightClickOpens) {
  TrayProgram program;
  Result r = vmtray({"menu"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Say Hello\nSub >\n    Deep Item\n----\nAsk\nOpen Box\n");
  EXPECT_EQ(commands_seen, 0);
}

struct ChooseCase {
  std::vector<std::string> arguments;
  int status;
  UINT command;  // 0: none
  const char* said;
};
void PrintTo(const ChooseCase& c, std::ostream* out) {
  for (const std::string& word : c.arguments) *out << word << ' ';
}

class Choose : public SocketTray, public ::testing::WithParamInterface<ChooseCase> {};

TEST_P(Choose, ChoosesOrNamesWhatIsMissing) {
  TrayProgram program;
  const ChooseCase& c = GetParam();
  Result r = vmtray(c.arguments);
  EXPECT_EQ(r.status, c.status);
  EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
  EXPECT_EQ(last_command, c.command);
}

INSTANTIATE_TEST_SUITE_P(
    Items, Choose,
    ::testing::Values(ChooseCase{{"choose", "Say Hello"}, 0, IDM_HELLO, "Chose \"Say Hello\"."},
                      ChooseCase{{"choose", "Deep", "Item"}, 0, IDM_DEEP, "Chose \"Deep Item\"."},
                      ChooseCase{{"choose", "say hello"}, 1, 0, "no item \"say hello\""},
                      ChooseCase{{"choose", "Sub"}, 1, 0, "opens a submenu"},
                      ChooseCase{{"choose", "----"}, 1, 0, "no item"},
                      ChooseCase{{"click", "left"}, 0, 0, "nothing happened"},
                      ChooseCase{{"click", "double"}, 0, 0, "nothing happened"},
                      ChooseCase{{"key", "escape"}, 1, 0, "No dialog box is open."}),
    [](const ::testing::TestParamInfo<ChooseCase>& info) {
      std::string name;
      for (const std::string& word : info.param.arguments) {
        for (char c : word) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        name += '_';
      }
      return name + std::to_string(info.index);
    });

TEST_F(SocketTray, AChosenDialogAnswersWhileOpenAndEscapeClosesIt) {
  TrayProgram program;
  Result opened = vmtray({"choose", "Open Box"});
  EXPECT_EQ(opened.status, 0);
  EXPECT_NE(opened.out.find("\"The Box\" box is open"), std::string::npos) << opened.out;
  EXPECT_NE(platform::open_dialog(), nullptr);
  // The program still serves the icon while the box is open.
  EXPECT_EQ(vmtray({"menu"}).status, 0);
  Result closed = vmtray({"key", "escape"});
  EXPECT_EQ(closed.status, 0);
  EXPECT_NE(closed.out.find("\"The Box\" box is closed."), std::string::npos) << closed.out;
  EXPECT_EQ(platform::open_dialog(), nullptr);
}

TEST_F(SocketTray, MessageBoxesAreAnsweredAtTheClient) {
  TrayProgram program;
  box_answer = 0;
  EXPECT_EQ(vmtray({"choose", "Ask"}).status, 0);
  EXPECT_EQ(box_answer, IDYES);
}

TEST_F(SocketTray, TheProgramsEndIsReported) {
  TrayProgram program;
  std::thread closer([&] { PostMessageA(program.window(), WM_CLOSE, 0, 0); });
  closer.join();
  program.wait_until_ended();
  EXPECT_EQ(vmtray({"menu"}).status, 2);
}

TEST_F(SocketTray, ASecondProgramLeavesTheFirstsSocketAlone) {
  // Another program already serves this machine's socket.
  int other = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, platform::tray_socket_path().c_str());
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(other, 1), 0);
  {
    TrayProgram second;
    EXPECT_FALSE(second.icon_added());
  }
  EXPECT_TRUE(std::filesystem::exists(platform::tray_socket_path()));
  close(other);
  // Now the socket file is a leftover nobody answers: it is replaced.
  TrayProgram third;
  EXPECT_TRUE(third.icon_added());
  EXPECT_EQ(vmtray({"menu"}).status, 0);
}

}  // namespace
