// The main program's entry. Started with a command line it runs one browser
// configuration command and ends; started without one it moves into the
// installation folder and runs the proxy until SIGTERM or SIGINT.
#include <csignal>
#include <string>

#include "browsercfg/browser_config.h"
#include "platform/files.h"
#include "platform/msgbox.h"
#include "platform/process.h"
#include "proxy/listener.h"
#include "settings/activity_log.h"
#include "tray/main_window.h"

int main(int argc, char** argv) {
  platform::init_process();
  std::string command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += ' ';
    command_line += argv[i];
  }
  if (!command_line.empty()) {
    run_browser_command(command_line.c_str());
    return 0;
  }
  if (change_directory(INSTALL_DIRECTORY) != 0) {
    show_message(MB_ICONHAND, "Vellomar is not installed properly...Exiting...");
    return 255;
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  if (start_thread(proxy_thread_main, nullptr) != 0) {
    show_message(MB_OK, "Can't start Proxy Thread");
    return 0;
  }
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  log_activity("***************** Vellomar Exiting *****************");
  return 0;
}
