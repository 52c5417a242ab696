// Netscape's preferences files (browser_config.h says how the browser
// configuration behaves).
#pragma once

#include "browsercfg/browser_config.h"

// Nonzero `enable` points Netscape at the proxy, 0 takes that away.
void configure_netscape_proxy(int enable);
