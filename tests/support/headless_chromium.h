// Headless Chromium through Vellomar, for the browser tests: the command line
// every such test starts from, and running it with a deadline.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vmtest {

inline constexpr char CHROMIUM[] = "/usr/bin/chromium";
// A cold Chromium on a loaded machine can take most of a minute.
inline constexpr std::chrono::seconds BROWSER_TIMEOUT{90};

// Chromium headless through 127.0.0.1:8000, loopback included (Chromium
// bypasses proxies for loopback unless told not to), with the profile in
// `profile`, nothing running in the background and no sandbox (tests run as
// root inside a namespace). Callers append their own flags and the address.
std::vector<std::string> chromium_through_vellomar(const std::filesystem::path& profile);

// Runs `arguments` with standard output into `out` and standard error
// discarded; what it printed, or "" when it could not start or did not end
// within BROWSER_TIMEOUT (it is killed then).
std::string run_browser(const std::vector<std::string>& arguments,
                        const std::filesystem::path& out);

}  // namespace vmtest
