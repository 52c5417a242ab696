// vmremove: after one confirmation, takes the main program out of the
// desktop's start-up and switches the proxy off in both browsers. It deletes
// no file and stops no running program. Exit status 0 when done, -1 (255)
// when declined or the start-up key cannot be opened (nothing changed then).
// The desktop's proxy setting and the Firefox profiles are set back too,
// and HTTPS inspection is taken away: switched off, the local authority
// removed from the browsers' trust stores and its private key deleted (a
// secret that would otherwise outlive the program that uses it). A Vellomar
// still running keeps what it loaded until it ends.
#include <cstdio>
#include <string>

#include "browsercfg/ie_proxy.h"
#include "browsercfg/inspection_setup.h"
#include "browsercfg/netscape_prefs.h"
#include "desktopproxy/desktop_proxy.h"
#include "desktopproxy/firefox_profiles.h"
#include "platform/desktop_entries.h"
#include "platform/msgbox.h"
#include "platform/process.h"
#include "platform/qt/desktop_qt.h"
#include "platform/registry.h"
#include "settings/activity_log.h"
#include "settings/product.h"

namespace {

constexpr char TITLE[] = "Remove Vellomar";
constexpr int REMOVE_DECLINED = -1;

constexpr char QUESTION[] =
    "This Removes Vellomar from Internet Explorer, Netscape and your computer's startup.\r\n"
    "Close all Internet Explorer and Netscape windows before proceeding.\r\n"
    "Also, if Vellomar is still running. right-clicking on it's menu (next to your clock) and "
    "choose 'Exit Vellomar'\r\n"
    "Do you want to continue?";

}  // namespace

int main(int argc, char** argv) {
  platform::init_process();
  // On a desktop the questions are dialogs.
  auto desktop_ui = platform::start_desktop(argc, argv, platform::DesktopRole::dialogs_only);
  if (MessageBoxA(nullptr, QUESTION, TITLE, MB_YESNO) != IDYES) return REMOVE_DECLINED;
  HKEY run_key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, KEY_WRITE, &run_key) != ERROR_SUCCESS) {
    MessageBoxA(nullptr, "Could not open registry", TITLE, MB_OK);
    return REMOVE_DECLINED;
  }
  // Already gone is fine.
  RegDeleteValueA(run_key, RUN_VALUE_NAME);
  RegCloseKey(run_key);
  // The application-menu entry that setup added goes with it.
  platform::remove_menu_entry(RUN_VALUE_NAME);
  configure_ie_proxy(0);
  desktopproxy::DesktopOutcome desktop = desktopproxy::apply_desktop_proxy(false);
  configure_netscape_proxy(0);
  desktopproxy::FirefoxOutcome firefox = desktopproxy::apply_firefox_profiles(false);
  for (const std::string& note : desktop.notes) log_activity("%s", note.c_str());
  for (const std::string& note : firefox.notes) log_activity("%s", note.c_str());
  browsercfg::InspectionRemoval inspection = browsercfg::remove_inspection();
  for (const std::string& line : inspection.lines) {
    log_activity("%s", line.c_str());
    std::printf("%s\n", line.c_str());
  }
  if (firefox.running > 0) {
    std::printf("A running Firefox reads the restored proxy setting when it next starts.\n");
  }
  MessageBoxA(nullptr, "Vellomar has been removed.", TITLE, MB_OK);
  return 0;
}
