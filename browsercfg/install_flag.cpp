// Records which browsers point at the proxy, for the General page to show.
#include "browsercfg/install_flag.h"

#include <cstdio>
#include <cstring>

#include "platform/registry.h"

namespace {
constexpr char INSTALL_KEY[] = "Software\\Vellomar\\Install";
}  // namespace

void write_install_flag(const char* value_name, int enable) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, INSTALL_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%d", enable);
  RegSetValueExA(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text) + 1));
  RegCloseKey(key);
}
