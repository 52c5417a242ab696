// The popup menu as the resources describe it, the right-click that opens
// it, the About box's procedure and where the Netscape program is looked for.
#include "tray/tray_commands.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "filter/matcher.h"
#include "platform/msgbox.h"
#include "platform/registry.h"
#include "tests/support/machine.h"
#include "tray/main_window.h"
#include "tray/resources.h"

namespace {

HINSTANCE resources() {
  return const_cast<platform::ResourceModule*>(&vellomar_resources);
}

struct Expected {
  int popup;
  const char* blocking_item;
};
void PrintTo(const Expected& e, std::ostream* out) {
  *out << e.blocking_item;
}

class PopupMenu : public ::testing::TestWithParam<Expected> {};

TEST_P(PopupMenu, HoldsTheCommandsInOrder) {
  HMENU bar = LoadMenuA(resources(), MENU_NAME);
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(bar->items.size(), 2u);
  EXPECT_EQ(bar->items[GetParam().popup].text, "Popup Menu");
  HMENU popup = GetSubMenu(bar, GetParam().popup);
  ASSERT_NE(popup, nullptr);
  std::vector<std::pair<std::string, UINT>> items;
  for (const Menu::Item& item : popup->items) items.emplace_back(item.text, item.id);
  const std::vector<std::pair<std::string, UINT>> expected = {
      {"Remove Vellomar", IDM_REMOVE},
      {"", 0},
      {"Open Setup", 0},
      {"View Log", IDM_VIEW_LOG},
      {"", 0},
      {"Exit Vellomar", IDM_EXIT},
      {GetParam().blocking_item, IDM_TOGGLE_BLOCKING},
      {"", 0},
      {"About Vellomar", IDM_ABOUT}};
  EXPECT_EQ(items, expected);
  for (int separator : {1, 4, 7}) EXPECT_EQ(popup->items[separator].flags, MF_SEPARATOR);
  HMENU setup = GetSubMenu(popup, 2);
  ASSERT_NE(setup, nullptr);
  ASSERT_EQ(setup->items.size(), 2u);
  EXPECT_EQ(setup->items[0].text, "With Internet Explorer");
  EXPECT_EQ(setup->items[0].id, IDM_SETUP_IE);
  EXPECT_EQ(setup->items[1].text, "With Netscape");
  EXPECT_EQ(setup->items[1].id, IDM_SETUP_NETSCAPE);
  DestroyMenu(bar);
}

INSTANTIATE_TEST_SUITE_P(ByBlockingState, PopupMenu,
                         ::testing::Values(Expected{0, "Stop Blocking Ads"},
                                           Expected{1, "Start Blocking Ads"}));

TEST(Resources, IconsAndTheAboutBox) {
  HICON icon = LoadIconA(resources(), MAKEINTRESOURCEA(IDI_VELLOMAR));
  ASSERT_NE(icon, nullptr);
  ASSERT_EQ(icon->images.size(), 2u);
  for (const ICONIMAGE& image : icon->images) {
    ASSERT_EQ(image.rows.size(), static_cast<std::size_t>(image.height));
    for (const char* row : image.rows) EXPECT_EQ(std::strlen(row), std::size_t(image.width));
  }
  EXPECT_NE(LoadIconA(resources(), MAKEINTRESOURCEA(IDI_SMALL)), nullptr);
}

// Records the popup a right-click opens and chooses nothing.
struct Watcher : platform::DesktopInput {
  std::vector<std::string>* shown;
  explicit Watcher(std::vector<std::string>* out) : shown(out) {}
  UINT choose_from_menu(const Menu& menu) override {
    shown->push_back(menu.items.at(6).text);
    return 0;
  }
  void event(platform::DesktopEvent, const std::string&) override {}
  int message_box(const char*, const char*, UINT) override { return 0; }
};

LRESULT plain_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

TEST(TrayCallback, ARightClickOpensThePopupOfTheBlockingState) {
  WNDCLASSEXA window_class{};
  window_class.lpfnWndProc = plain_proc;
  window_class.lpszClassName = "CALLBACKTEST";
  RegisterClassExA(&window_class);
  HWND window =
      CreateWindowExA(0, "CALLBACKTEST", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  app_instance = resources();
  std::vector<std::string> shown;
  for (int state : {0, 1}) {
    blocking_off = state;
    platform::post_input(window, WM_USER + 1, 3473, WM_RBUTTONDOWN,
                         std::make_shared<Watcher>(&shown));
    MSG message;
    ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(handle_tray_callback(window, message.lParam), 1);
    // The menu is followed by WM_NULL to the window.
    ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(message.message, WM_NULL);
    EXPECT_EQ(message.hwnd, window);
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"Stop Blocking Ads", "Start Blocking Ads"}));
  // Other mouse messages open nothing.
  EXPECT_EQ(handle_tray_callback(window, WM_LBUTTONDOWN), 0);
  EXPECT_EQ(handle_tray_callback(window, WM_LBUTTONDBLCLK), 0);
  blocking_off = 0;
  DestroyWindow(window);
}

TEST(AboutBox, EndsWithOneOnCancelOnly) {
  app_instance = resources();
  std::thread presser([] {
    while (platform::open_dialog() == nullptr) std::this_thread::yield();
    HWND dialog = platform::open_dialog();
    EXPECT_EQ(platform::dialog_caption(dialog), "About Vellomar");
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);  // not handled: stays open
    PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  });
  EXPECT_EQ(DialogBoxParamA(app_instance, ABOUT_BOX_NAME, nullptr, about_dialog_proc, 0), 1);
  presser.join();
  EXPECT_EQ(about_dialog_proc(nullptr, WM_INITDIALOG, 0, 0), TRUE);
  EXPECT_EQ(about_dialog_proc(nullptr, WM_PAINT, 0, 0), FALSE);
}

class NetscapeProgram : public ::testing::Test {
 protected:
  vmtest::Machine machine_{"tray"};
};

TEST_F(NetscapeProgram, ComesFromTheRegistryOrTheUsualFolder) {
  EXPECT_EQ(netscape_program(), "C:\\Program Files\\Netscape\\Communicator2\\Program\\NETSCAPE");
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Netscape\\Netscape Navigator\\Main", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  // The key alone changes nothing.
  EXPECT_EQ(netscape_program(), "C:\\Program Files\\Netscape\\Communicator2\\Program\\NETSCAPE");
  const char directory[] = "D:\\Navigator";
  RegSetValueExA(key, "Install Directory", 0, REG_SZ, reinterpret_cast<const BYTE*>(directory),
                 sizeof directory);
  EXPECT_EQ(netscape_program(), "D:\\Navigator\\Program\\NETSCAPE");
  // Stored without its terminating zero, the text still ends where it should.
  RegSetValueExA(key, "Install Directory", 0, REG_SZ, reinterpret_cast<const BYTE*>(directory),
                 sizeof directory - 1);
  EXPECT_EQ(netscape_program(), "D:\\Navigator\\Program\\NETSCAPE");
  RegCloseKey(key);
}

}  // namespace
