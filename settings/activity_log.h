// The activity log ("vellomar.log" in the current directory).
//
// log_activity reads "Enabled" of Software\Vellomar\Log for every entry and
// writes only while it reads 1; each entry opens the file, appends one line
// "Sun Dec 06 12:39:02 2026: <message>" in text mode (CR LF) and closes it.
// Each entry reaches the file in one write, so entries of several threads
// or processes never split each other. Safe from several threads at once; a
// message longer than MESSAGE_BUFFER_SIZE - 1 bytes is cut there.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

// Capacity of a formatted log or message box text, its terminating zero
// included.
constexpr std::size_t MESSAGE_BUFFER_SIZE = 32768;

void log_activity(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes "ERROR:\t*****Registry Damaged***** <message>" whatever "Enabled"
// reads: the registry was found damaged and started anew, so the setting
// that had switched the log on is lost with it. The main program hands it to
// platform::registry::set_damage_listener().
void log_registry_damage(const std::string& message);

// The clock the log's time stamps come from; tests replace it.
extern std::time_t (*log_clock)();

// Formats `when` (local time) as the log's 24-character stamp into out[25].
void format_log_time(std::time_t when, char out[25]);
