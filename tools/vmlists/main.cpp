// vmlists: the ad lists imported beside the user's own definitions.
//
//   vmlists add SOURCE [NAME]   import a list from a file or an http(s) address
//   vmlists update [NAME]       fetch the lists (or one) again from their sources
//   vmlists list                the lists with their source, age and counts
//   vmlists remove NAME         take a list away
//   vmlists report NAME         what could not be converted, by reason
//
// It works on the installation of this machine's folder (VELLOMAR_PREFIX)
// and asks a running Vellomar to reload after every change. Exit status: 0
// done, 1 a failure (nothing changed), 2 a wrong command line. Messages go to
// stderr, listings and reports to stdout.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "adlists/list_update.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr char kInstallDir[] = "C:\\Program Files\\Vellomar";

const char kUsage[] =
    "usage: vmlists [--timeout=SECONDS] [--ca-file=FILE] [--copy=FILE] COMMAND\n"
    "  add SOURCE [NAME]   import an Adblock-style list or a hosts file from a file\n"
    "                      or an http(s) address (NAME: made from SOURCE if left out)\n"
    "  update [NAME]       fetch every list (or NAME) again from its source\n"
    "  list                show the imported lists\n"
    "  remove NAME         remove a list\n"
    "  report NAME         show what could not be converted, by reason\n"
    "options:\n"
    "  --timeout=SECONDS   give up a download that stalls this long (default 60)\n"
    "  --ca-file=FILE      trust the certificates in FILE instead of the system's\n"
    "  --copy=FILE         add: read the list from FILE, a copy of what SOURCE\n"
    "                      serves; later updates fetch SOURCE itself\n";

int usage(const char* problem) {
  std::fprintf(stderr, "vmlists: %s\n%s", problem, kUsage);
  return kExitUsage;
}

void reload() {
  bool running = false;
  std::string message = adlists::reload_running_vellomar(&running);
  std::fprintf(stderr, "vmlists: %s\n", message.c_str());
}

std::string age_text(std::time_t then, std::time_t now) {
  long long minutes = (now - then) / 60;
  if (minutes < 60) return std::to_string(minutes) + " min";
  if (minutes < 48 * 60) return std::to_string(minutes / 60) + " h";
  return std::to_string(minutes / (24 * 60)) + " days";
}

int list_command() {
  std::time_t now = std::time(nullptr);
  std::vector<adlists::ListInfo> lists = adlists::installed_lists();
  if (lists.empty()) {
    std::printf("No lists are imported.\n");
    return 0;
  }
  for (const adlists::ListInfo& l : lists) {
    std::printf(
        "%s\n  source:  %s\n  updated: %s ago%s\n  rules:   %zu converted, %zu approximated, %zu "
        "skipped (%zu lines)\n",
        l.name.c_str(), l.source.c_str(), age_text(l.converted_at, now).c_str(),
        adlists::list_expired(l, now) ? " (expired)" : "", l.exact, l.approximated, l.skipped,
        l.lines);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  platform::init_process();
  adlists::SourceOptions options;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a.rfind("--timeout=", 0) == 0) {
      options.timeout_seconds = std::atol(a.c_str() + 10);
      if (options.timeout_seconds <= 0) return usage("--timeout needs a number of seconds");
    } else if (a.rfind("--ca-file=", 0) == 0) {
      options.ca_file = a.substr(10);
    } else if (a.rfind("--copy=", 0) == 0) {
      options.local_copy = a.substr(7);
    } else if (a.rfind("--", 0) == 0) {
      return usage(("unknown option " + a).c_str());
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return usage("no command given");
  const std::string& command = args[0];
  std::size_t count = args.size() - 1;
  bool known = command == "add" || command == "update" || command == "list" ||
               command == "remove" || command == "report";
  if (!known) return usage(("unknown command " + command).c_str());
  if ((command == "add" && (count < 1 || count > 2)) || (command == "update" && count > 1) ||
      (command == "list" && count != 0) ||
      ((command == "remove" || command == "report") && count != 1)) {
    return usage(("wrong number of arguments for " + command).c_str());
  }

  // A source file is named from where the user stands; read it from there.
  std::string source;
  if (command == "add") {
    source = args[1];
    if (!adlists::is_web_address(source) && source[0] != '/') {
      char cwd[4096];
      if (getcwd(cwd, sizeof cwd) != nullptr) source = std::string(cwd) + "/" + source;
    }
  }
  if (!options.local_copy.empty() && options.local_copy[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
      options.local_copy = std::string(cwd) + "/" + options.local_copy;
    }
  }
  if (change_directory(kInstallDir) != 0) {
    std::fprintf(stderr, "vmlists: Vellomar is not installed in %s (%s)\n", kInstallDir,
                 platform::host_path(kInstallDir).c_str());
    return kExitFailed;
  }

  std::time_t now = std::time(nullptr);
  if (command == "list") return list_command();
  if (command == "report") {
    std::optional<std::string> report = adlists::read_report(args[1]);
    if (!report) {
      std::fprintf(stderr, "vmlists: there is no list named \"%s\"\n", args[1].c_str());
      return kExitFailed;
    }
    std::fputs(report->c_str(), stdout);
    return 0;
  }
  if (command == "remove") {
    std::string error;
    if (!adlists::remove_list(args[1], &error)) {
      std::fprintf(stderr, "vmlists: %s\n", error.c_str());
      return kExitFailed;
    }
    std::fprintf(stderr, "vmlists: removed list %s\n", args[1].c_str());
    reload();
    return 0;
  }
  if (command == "add") {
    adlists::ListChange change =
        adlists::add_list(source, count == 2 ? args[2] : std::string(), options, now);
    std::fprintf(stderr, "vmlists: %s\n", change.message.c_str());
    if (!change.ok) return kExitFailed;
    reload();
    return 0;
  }
  // update
  std::vector<adlists::ListInfo> lists;
  if (count == 1) {
    std::optional<adlists::ListInfo> info = adlists::read_list_info(args[1]);
    if (!info) {
      std::fprintf(stderr, "vmlists: there is no list named \"%s\"\n", args[1].c_str());
      return kExitFailed;
    }
    lists.push_back(*info);
  } else {
    lists = adlists::installed_lists();
  }
  bool failed = false;
  bool changed = false;
  for (const adlists::ListInfo& info : lists) {
    adlists::ListChange change = adlists::update_list(info, options, now);
    std::fprintf(stderr, "vmlists: %s\n", change.message.c_str());
    failed = failed || !change.ok;
    changed = changed || change.changed;
  }
  if (changed) reload();
  return failed ? kExitFailed : 0;
}
