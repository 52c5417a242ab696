// Internet Explorer's proxy settings in the registry (browser_config.h says
// how the browser configuration behaves).
#pragma once

#include "browsercfg/browser_config.h"

// Nonzero `enable` points Internet Explorer at the proxy, 0 takes that away.
void configure_ie_proxy(int enable);
