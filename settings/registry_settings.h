// Vellomar's own settings in the registry, under HKEY_LOCAL_MACHINE:
//   Software\Vellomar\Proxy    "Server", "Port"   the upstream proxy
//   Software\Vellomar\Log      "Enabled"          "1": write the activity log
//   Software\Vellomar\Install  "Internet Explorer", "Netscape"  browser flags
//   Software\Vellomar\HTTPS    "Inspect"          REG_DWORD 1: inspect HTTPS
// Every value but "Inspect" is a string; numbers are stored as decimal text and read back
// by the leading-digits rule of atoi. Each operation opens its key, does its
// one job and closes it again; none reports failure, missing values read as
// 0 or empty. All are safe from several threads at once.
#pragma once

#include <cstddef>

// Capacity of the buffer a stored value is read into.
constexpr std::size_t SETTING_BUFFER_SIZE = 32768;

// The upstream proxy as stored: host (at most UPSTREAM_HOST_MAX characters;
// a longer stored host is cut there) and port as a plain number.
struct StoredProxySetting {
  char host[80];
  int port;
};

// Reads Server and Port of Software\Vellomar\Proxy into *setting. Returns
// false, leaving *setting as it was, when the key cannot be opened; a missing
// value reads as "" or 0.
bool read_proxy_setting(StoredProxySetting* setting);

// Stores host and the port's decimal text, creating the key when needed.
void write_proxy_setting(const char* host, int port);

// Stores "Enabled" of Software\Vellomar\Log as the decimal text of `flag`.
void write_log_enabled(int flag);

// Whether the activity log is on: "Enabled" reads as 1.
bool log_enabled();

// The browsers with an Install flag.
enum class Browser { InternetExplorer, Netscape };

// Stores the browser's Install flag as the decimal text of `enable`,
// creating the key when needed.
void write_install_flag(Browser browser, int enable);

// Whether the browser's Install flag reads as 1.
bool install_flag_set(Browser browser);

// The number a value of a sub-key of HKEY_LOCAL_MACHINE reads as by the
// leading-digits rule; 0 when the key or the value is missing.
int read_setting_number(const char* sub_key, const char* value_name);

// Whether HTTPS inspection is switched on: "Inspect" of Software\Vellomar\HTTPS
// is the REG_DWORD 1 (a REG_SZ reading as 1 by the leading-digits rule counts
// too, for a value typed by hand). Anything else, or nothing, is off.
bool https_inspection_enabled();

// Switches HTTPS inspection on (stores the REG_DWORD 1, creating the key) or
// off (deletes the value, and the key once it holds nothing else). False when
// the registry could not be changed.
bool set_https_inspection_enabled(bool enabled);
