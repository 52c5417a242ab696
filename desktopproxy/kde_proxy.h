// KDE Plasma's proxy setting: the [Proxy Settings] group of kioslaverc in
// the user's configuration folder, in KConfig's text format. Only the keys
// ProxyType, httpProxy and httpsProxy are changed; every other line stays as
// it is. The file is replaced whole (written aside, then renamed), and
// running KDE programs are told to read it again the way KDE's own settings
// module does (the org.kde.KIO.Scheduler reparseSlaveConfiguration signal on
// the session bus). Saved under "KDE ..." values of the Desktop key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "desktopproxy/desktop_outcome.h"

namespace desktopproxy {

// The raw value of `key` in `group` of a KConfig text; nothing when absent.
std::optional<std::string> kconfig_value(std::string_view text, std::string_view group,
                                         std::string_view key);

// The text with `key` of `group` set to `value` (the group added at the end
// when missing), or removed when `value` is nothing. Other lines are kept.
std::string kconfig_with(std::string_view text, std::string_view group, std::string_view key,
                         const std::optional<std::string>& value);

// The kioslaverc this user's KDE programs read.
std::string kioslaverc_path();

// Does the work whatever the desktop's name (the caller checks it).
void apply_kde_proxy(bool enable, DesktopOutcome* outcome);

}  // namespace desktopproxy
