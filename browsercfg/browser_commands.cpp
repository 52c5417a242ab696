// The main program's one-letter browser configuration commands.
#include "browsercfg/browser_config.h"

int run_browser_command(const char* command) {
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
