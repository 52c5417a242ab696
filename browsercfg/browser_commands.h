// The main program's browser commands: its command line, when not empty.
// Runs on the caller's thread, as the browser configuration does.
#pragma once

// The one-letter commands "I", "N" and "R": 0 when the first character of
// `command` is one of them, -1 otherwise.
int run_browser_command(const char* command);
