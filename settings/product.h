// The names Vellomar owns and that more than one program or folder spells:
// its registry keys and value names, the start-up entry, the installation
// folder and the home page. Stored data and the wire depend on every byte, so
// each name is written here once and only used elsewhere.
//
// Constants only: no state, nothing to link, safe from any thread.
#pragma once

#include <cstddef>

// The product's own name: the caption of the main program's message boxes.
inline constexpr char PRODUCT_NAME[] = "Vellomar";

// The product's home page, named in the tunnel reply and on the About page.
inline constexpr char HOME_PAGE_ADDRESS[] = "http://www.vellomar.org";

// The fixed installation folder and the main program in it.
inline constexpr char PROGRAM_FILES_DIRECTORY[] = "C:\\Program Files";
inline constexpr char INSTALL_DIRECTORY[] = "C:\\Program Files\\Vellomar";

// The start-up entry under HKEY_LOCAL_MACHINE: value PRODUCT_NAME of RUN_KEY,
// a REG_SZ holding RUN_COMMAND stored with its terminating zero.
inline constexpr char RUN_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char RUN_VALUE_NAME[] = "Vellomar";
inline constexpr char RUN_COMMAND[] = "C:\\Program Files\\Vellomar\\Vellomar.exe";
static_assert(sizeof RUN_COMMAND == 39, "the Run value is stored with its terminating zero");

// The product's settings under HKEY_LOCAL_MACHINE (settings/registry_settings.h
// reads and writes them).
inline constexpr char UPSTREAM_KEY[] = "Software\\Vellomar\\Proxy";
inline constexpr char UPSTREAM_SERVER_VALUE[] = "Server";
inline constexpr char UPSTREAM_PORT_VALUE[] = "Port";
inline constexpr char LOG_KEY[] = "Software\\Vellomar\\Log";
inline constexpr char LOG_ENABLED_VALUE[] = "Enabled";
// The Install flags: per browser, the state last set for it ("1" or "0").
inline constexpr char INSTALL_FLAGS_KEY[] = "Software\\Vellomar\\Install";
inline constexpr char IE_FLAG_VALUE[] = "Internet Explorer";
inline constexpr char NETSCAPE_FLAG_VALUE[] = "Netscape";
// The desktop's proxy settings from before Vellomar changed them
// (desktopproxy/saved_state.h).
inline constexpr char DESKTOP_KEY[] = "Software\\Vellomar\\Desktop";
// HTTPS inspection, opt-in: "Inspect" is a REG_DWORD, 1 on; absent or 0 off.
inline constexpr char HTTPS_KEY[] = "Software\\Vellomar\\HTTPS";
inline constexpr char HTTPS_INSPECT_VALUE[] = "Inspect";
