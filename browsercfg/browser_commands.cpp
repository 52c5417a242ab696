// The main program's one-letter browser configuration commands, started by
// the setup program as "vellomar I" and "vellomar N". Only the first
// character counts, compared case-sensitively; there is no command to switch
// a browser off (that is the General page's and the remove program's job).
#include "browsercfg/browser_commands.h"

#include "browsercfg/ie_proxy.h"
#include "browsercfg/netscape_prefs.h"

int run_browser_command(const char* command) {
  if (command == nullptr) return -1;
  switch (command[0]) {
    case 'I':
      configure_ie_proxy(1);
      return 0;
    case 'N':
      configure_netscape_proxy(1);
      return 0;
    case 'R':
      return 0;
    default:
      return -1;
  }
}
