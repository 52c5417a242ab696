// The main program's one-letter browser configuration commands, started by
// the setup program as "vellomar I" and "vellomar N". Only the first
// character counts, compared case-sensitively; there is no command to switch
// a browser off (that is the General page's and the remove program's job).
// Each also carries its switch to today's browsers (browsercfg/desktop_side.h);
// "R" re-applies that for the switches that are on.
#include "browsercfg/browser_commands.h"

#include <cstdio>

#include "browsercfg/desktop_side.h"
#include "browsercfg/ie_proxy.h"
#include "browsercfg/netscape_prefs.h"
#include "settings/registry_settings.h"

namespace {

void point_firefox_and_say_so() {
  if (point_firefox_profiles(true) > 0) std::printf("%s\n", FIREFOX_RESTART_NOTE);
}

}  // namespace

int run_browser_command(const char* command) {
  if (command == nullptr) return -1;
  switch (command[0]) {
    case 'I':
      configure_ie_proxy(1);
      point_desktop_proxy(true);
      return 0;
    case 'N':
      configure_netscape_proxy(1);
      point_firefox_and_say_so();
      return 0;
    case 'R':
      if (install_flag_set(Browser::InternetExplorer)) point_desktop_proxy(true);
      if (install_flag_set(Browser::Netscape)) point_firefox_and_say_so();
      return 0;
    default:
      return -1;
  }
}
