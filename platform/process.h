// Starting programs by bare name, as the original desktop's command prompt
// does, and the process-wide set-up every Vellomar program runs first.
#pragma once

#include <string>
#include <vector>

// Starts the program called `name` (no folder, no extension). It is looked for
// in the current directory first and then in each folder of PATH; at each
// place NAME.com, NAME.exe, NAME.bat, NAME.cmd and then the bare NAME are
// tried, names matched without regard to case. `argv` is the program's whole
// argument list, its argv[0] included (the original passes a command line made
// of these joined by single blanks).
//
// The names "notepad" and "explorer", when no program of that name is found,
// fall back to the desktop's usual opener ($VISUAL/$EDITOR for notepad,
// $BROWSER for explorer, then xdg-open).
//
// With `wait` false, returns 0 once the program has started; it is never
// left behind as a zombie, and no other thread's wait is disturbed. With
// `wait` true, waits for it to end and stores its exit status in
// *exit_status (an exit status of -1 reads as 255, as on Linux; a program
// killed by a signal reads as 128 plus the signal's number). Returns -1 when
// no program could be started; never throws. A name that carries a folder
// ("C:\Program Files\Netscape\Program\NETSCAPE") is looked for there only.
int start_program(const std::string& name, const std::vector<std::string>& argv, bool wait,
                  int* exit_status);

// Runs entry(arg) on a detached thread of its own. Its stack holds at least
// THREAD_STACK_SIZE bytes, enough for a connection session's buffers. Returns 0,
// or -1 when no thread could be started. Safe from any thread.
//
// The thread may be one whose earlier work has ended: such threads wait a few
// seconds for new work before they end, so thread_local values may outlive
// one entry. Every call still gets a thread that runs nothing else meanwhile.
constexpr std::size_t THREAD_STACK_SIZE = 1024 * 1024;
int start_thread(void (*entry)(void*), void* arg);

// Points standard input, output and error at /dev/null, so that descriptors 0
// to 2 stay taken and no stray write can reach a socket.
void detach_standard_streams();

namespace platform {
// The one-time set-up of a Vellomar process: ignores SIGPIPE (a peer that goes
// away is seen as a failed send, not a signal). Called first by every main().
void init_process();
}  // namespace platform
