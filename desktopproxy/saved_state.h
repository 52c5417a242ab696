// The desktop's proxy settings as they were before Vellomar changed them,
// kept in Vellomar's registry under HKEY_LOCAL_MACHINE\Software\Vellomar\Desktop
// (DESKTOP_KEY, string values; the browser flags of Software\Vellomar\Install are not
// touched). Each call opens and closes the key; safe from several threads
// and processes at once, the last writer wins.
#pragma once

#include <optional>
#include <string>

#include "settings/product.h"

namespace desktopproxy {

// The value, or nothing when it (or the key) is missing.
std::optional<std::string> read_saved(const char* name);
// False when the value could not be stored.
bool write_saved(const char* name, const std::string& value);
void delete_saved(const char* name);

}  // namespace desktopproxy
