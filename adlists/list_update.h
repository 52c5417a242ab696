// Adding and updating one list from its source (a file or an http(s)
// address), and asking a running Vellomar to reload. Shared by vmlists and
// the main program's background updates.
//
// Every failure leaves the installed list as it was; the reason is returned
// as a sentence and written to the activity log. Safe from several threads
// as long as no two work on the same list at once.
#pragma once

#include <ctime>
#include <string>

#include "adlists/list_fetch.h"
#include "adlists/list_store.h"

namespace adlists {

struct SourceOptions {
  long timeout_seconds = DEFAULT_FETCH_TIMEOUT_SECONDS;
  std::string ca_file;  // "" for the system's certificates
  // For add: a file with a copy of the source's list, read instead of the
  // source (which is still recorded for later updates); the list then counts
  // as converted when that file was last changed.
  std::string local_copy;
};

struct ListChange {
  bool ok = false;
  bool changed = false;  // false: the source had not changed (or on failure)
  std::string message;   // what happened, for the user
};

// Reads and converts `source` and installs it as `name` (made from the
// source when empty). An existing list of that name is replaced.
ListChange add_list(const std::string& source, std::string name, const SourceOptions& options,
                    std::time_t now);

// Fetches the list's source again (conditionally for web addresses) and
// replaces the list when it changed; a list that shrank to under
// MIN_KEPT_PERCENT of its lines is refused.
ListChange update_list(const ListInfo& info, const SourceOptions& options, std::time_t now);

// Asks the Vellomar serving 127.0.0.1:8000 to reload its definitions. Returns
// a sentence for the user; `running` says whether one answered.
std::string reload_running_vellomar(bool* running);

}  // namespace adlists
