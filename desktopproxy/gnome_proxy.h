// GNOME's proxy setting (the GSettings schema org.gnome.system.proxy),
// through GIO. Mode, HTTP and HTTPS host and port are set; ignore-hosts and
// every other key are kept. Saved under "GNOME ..." values of the Desktop key.
#pragma once

#include "desktopproxy/desktop_outcome.h"

namespace desktopproxy {

// Does the work whatever the desktop's name (the caller checks it); skips
// with a note when the schema is not installed or its keys are locked.
void apply_gnome_proxy(bool enable, DesktopOutcome* outcome);

}  // namespace desktopproxy
