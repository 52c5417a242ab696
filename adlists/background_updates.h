// The main program's updates of imported lists: a thread of its own looks at
// the installed lists now and then and fetches again those whose lifetime
// ("! Expires:" of the list) has run out and whose source is a web address;
// when one changed, the rule list is rebuilt and swapped in. Sessions never
// wait for it. Failures keep the old list and go to the activity log.
#pragma once

namespace adlists {

// Seconds after start-up before the first look, and between looks.
constexpr int FIRST_UPDATE_DELAY_SECONDS = 60;
constexpr int UPDATE_CHECK_INTERVAL_SECONDS = 3600;

// Starts the thread (once per process); it runs until the process ends.
// Returns false when it could not be started.
bool start_background_list_updates();

// One look, on the calling thread: updates the expired lists and rebuilds
// the rule list when one of them changed. Returns how many changed.
int update_expired_lists();

}  // namespace adlists
