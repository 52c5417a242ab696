// Pointing every Firefox profile of the user at the proxy, or back.
//
// Profiles are found through each profiles.ini that Firefox, Firefox ESR and
// their forks keep, in the current layout under $XDG_CONFIG_HOME and the
// older one under $HOME (native, Flatpak and Snap installs). Each profile's
// user.js gets Vellomar's marked block (desktopproxy/user_js.h); a profile
// whose user.js is read-only, whose folder cannot be written, or that
// another Vellomar is editing at that moment is skipped. A Firefox that is
// running reads user.js only at its next start.
//
// Runs on the caller's thread; holds no state between calls. Two processes
// editing one profile at once: the second skips it (it is locked).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace desktopproxy {

// The profile folders that `profiles_ini` (the text of the file found in
// folder `base`) lists, relative paths taken against `base`.
std::vector<std::string> profile_folders_in(std::string_view profiles_ini, const std::string& base);

// The profiles.ini files that may exist for this user (existing or not).
std::vector<std::string> profiles_ini_candidates();

struct FirefoxOutcome {
  std::vector<std::string> notes;  // one line per profile or per skip, for the activity log
  int changed = 0;                 // profiles whose user.js was changed
  int running = 0;                 // of those, profiles in use by a running Firefox
};

// On: writes the proxy block into every profile. Off: removes it and sets
// the proxy preferences back to what they were before on.
FirefoxOutcome apply_firefox_profiles(bool enable);

// The same for one profile folder; adds to *outcome.
void apply_firefox_profile(const std::string& folder, bool enable, FirefoxOutcome* outcome);

}  // namespace desktopproxy
