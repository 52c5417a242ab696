// Running the built programs end to end: a machine whose programs are started
// as separate processes with a chosen environment (its own registry, message
// box log and a folder of stand-in programs first on PATH), recording
// stand-ins for the programs Vellomar starts, and probes of port 8000.
//
// Test programs that use these link vm_test_own_network (vellomar_test's
// PORT8000), so the port they probe is their own namespace's.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/machine.h"

namespace vmtest {

inline const std::string RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const std::string INSTALL_FLAGS_KEY = "Software\\Vellomar\\Install";
inline const std::string EXITING_LINE = "***************** Vellomar Exiting *****************";
// Longest wait for something a started program is expected to do.
constexpr auto PATIENCE = std::chrono::seconds(20);

// Polls `condition` until it holds or PATIENCE has passed.
bool eventually(const std::function<bool()>& condition);

// True when something on 127.0.0.1:8000 answers a request for the setup pages.
bool port_8000_serves();
// True when connecting to 127.0.0.1:8000 is refused: nothing listens there.
bool port_8000_refused();

struct Outcome {
  int status = -1;  // exit status, or -1 when the program did not end normally
  std::string out;  // standard output and error together
};

class ProgramMachine : public Machine {
 public:
  // Creates the C: drive (every machine has one) and the stand-ins' folder.
  explicit ProgramMachine(std::string_view tag = "e2e");
  // Ends the tray program and every background program still running.
  ~ProgramMachine();

  // Further NAME=VALUE settings for every program started from now on.
  std::vector<std::string> extra_environment;

  fs::path stand_ins() const { return root() / "bin"; }
  fs::path socket() const { return prefix() / "vmtray.socket"; }

  // A stand-in program that appends the number of its arguments and the
  // arguments (one line, separated by "|"; a script cannot see its argv[0])
  // to stand_ins()/NAME.calls and ends with `status`.
  void record_calls(const std::string& name, int status = 0);
  std::string calls(const std::string& name) const;

  // Starts a program in `directory`; `answer` answers its Yes/No boxes (""
  // leaves them to the default, no). Its output goes to `out`.
  pid_t start(const std::vector<std::string>& argv, const fs::path& directory,
              const std::string& answer = "", const fs::path& out = "/dev/null");
  // Waits for a started program; -1 when it did not end normally in time.
  static int wait_for(pid_t pid);
  Outcome run(const std::vector<std::string>& argv, const fs::path& directory,
              const std::string& answer = "");
  Outcome vmtray(const std::vector<std::string>& arguments, const std::string& answer = "");
  // Starts a program that keeps running (output in root()/background.txt);
  // the machine kills it at the end unless forgotten.
  pid_t start_background(const std::vector<std::string>& argv, const fs::path& directory,
                         const std::string& answer = "");
  void forget(pid_t pid);

  // Copies the distribution's files the way setup names them.
  void install_files(bool with_remove_program = true);
  // The registry a fresh desktop has, with the activity log switched on.
  void seed_registry(bool log_enabled = true);
  std::string log() const { return read_file(install_dir() / "Vellomar.log"); }

  // Ends a tray program still running in this machine, also one that setup
  // started (not a child of the test): the tray socket names its process.
  void end_tray_program();

 private:
  std::vector<pid_t> background_;
};

// One message box as the log writes it, for comparing.
std::string box(const std::string& caption, const std::string& text, int type,
                const std::string& answer);

}  // namespace vmtest
