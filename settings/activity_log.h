// The activity log ("vellomar.log" in the current directory), the message
// box helper and the format-and-send helper.
//
// log_activity reads "Enabled" of Software\Vellomar\Log for every entry and
// writes only while it reads 1; each entry opens the file, appends one line
// "Sun Dec 06 12:39:02 2026: <message>" in text mode (CR LF) and closes it.
// Each entry reaches the file in one write, so entries of several threads
// or processes never split each other. All three helpers are safe from
// several threads at once; a log or box message longer than
// MESSAGE_BUFFER_SIZE - 1 bytes is cut there.
#pragma once

#include <ctime>

#include "platform/winsock.h"

constexpr std::size_t MESSAGE_BUFFER_SIZE = 32768;

void log_activity(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Shows the formatted text in a box captioned "Vellomar" owned by the main
// window (none before it exists), with `type` (MB_OK or MB_ICONHAND).
void show_message(UINT type, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formats the text, appends "\n" and sends it whole on `s`; 0 when all was
// sent, -1 otherwise. A text too long for MESSAGE_BUFFER_SIZE bytes is still
// sent whole (from a heap buffer), never cut.
int send_formatted(SOCKET s, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The clock the log's time stamps come from; tests replace it.
extern std::time_t (*log_clock)();

// Formats `when` (local time) as the log's 24-character stamp into out[25].
void format_log_time(std::time_t when, char out[25]);
