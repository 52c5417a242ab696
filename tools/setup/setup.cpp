// setup: run from the distribution folder, installs Vellomar into
// C:\Program Files\Vellomar in one straight pass, registers the main program
// to start with the desktop, offers to point the browsers at the proxy (by
// starting the main program with its one-letter commands) and starts the
// tray application. The distribution folder is the current directory when
// it holds the main program's shipped file (setup run from build/dist or
// another copy of the folder), else setup's own folder when that holds it,
// else the folder installed with the package beside setup's program folder
// (INSTALLED_DISTRIBUTION). Every failed step is told in a "Setup Error" box and
// ends setup with exit status -1 (255); files already copied stay.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "dist/icons/icon_data.h"
#include "platform/desktop_entries.h"
#include "platform/files.h"
#include "platform/msgbox.h"
#include "platform/process.h"
#include "platform/qt/desktop_qt.h"
#include "platform/registry.h"
#include "settings/product.h"

namespace {

constexpr char ERROR_TITLE[] = "Setup Error";
constexpr char SETUP_TITLE[] = "Vellomar Setup";
constexpr int SETUP_FAILED = -1;

struct FileCopy {
  const char* source;
  const char* destination;
};

// In this order: the main program last, so that a running copy holding it
// open is noticed only when everything else is in place.
constexpr FileCopy FILES[] = {
    {"Vellomar.log", "C:\\Program Files\\Vellomar\\Vellomar.log"},
    {"Vellomar.txt", "C:\\Program Files\\Vellomar\\Vellomar.txt"},
    {"Vellomar.ini", "C:\\Program Files\\Vellomar\\Vellomar.ini"},
    {"Vellomar.hlp", "C:\\Program Files\\Vellomar\\Vellomar.hlp"},
    {"VMRemove.exe", "C:\\Program Files\\Vellomar\\VMRemove.exe"},
    {"Vellomar.EX_", "C:\\Program Files\\Vellomar\\Vellomar.exe"},
};
constexpr std::size_t MAIN_PROGRAM_COPY = 5;
// The hosts HTTPS inspection leaves alone: the shipped default is copied
// only where there is none yet, so the user's own list survives a new setup
// (and a distribution folder without it installs as before).
constexpr FileCopy PASS_THROUGH_COPY = {"passthrough.txt",
                                        "C:\\Program Files\\Vellomar\\passthrough.txt"};

constexpr char COPY_FAILED[] = "Could not copy files.";
constexpr char MAIN_PROGRAM_COPY_FAILED[] =
    "Could not copy Vellomar.exe. If Vellomar is currently running,\nRight-Click on it's icon "
    "(Next to the clock) and choose 'Exit Vellomar'.\nThen run Setup again.";
constexpr char REGISTRY_OPEN_FAILED[] = "Could not open registry";
constexpr char REGISTRY_WRITE_FAILED[] = "Could not add registry entries";
constexpr char BROWSER_QUESTION[] =
    "Vellomar is Installed.\n\nDo you want setup to update Internet Explorer's and Netscape's "
    "Proxy Settings?\nYou can choose no and read the instructions to do it manually.\n\n\n***** "
    "WARNING: IF YOU ARE USING A PROXY SERVER, CHOOSE NO! *****";
constexpr char SETUP_COMPLETE[] = "Setup Complete.";
constexpr char MENU_ENTRY_COMMENT[] = "Blocks advertisements for your browsers";

// The distribution folder of an installed package, relative to the folder
// that holds the setup program; the build gives the real one.
#ifndef VELLOMAR_INSTALLED_DISTRIBUTION
#define VELLOMAR_INSTALLED_DISTRIBUTION "../share/vellomar/dist"
#endif
constexpr char INSTALLED_DISTRIBUTION[] = VELLOMAR_INSTALLED_DISTRIBUTION;

// Moves into the distribution folder. When none is found setup stays where
// it is, and the first copy reports the missing files as it always has.
void enter_distribution_folder() {
  const char* shipped_main = FILES[MAIN_PROGRAM_COPY].source;
  if (FILE* here = open_file(shipped_main, "rb")) {
    std::fclose(here);
    return;
  }
  const std::string own = platform::program_folder();
  if (own.empty()) return;
  if (platform::enter_folder_holding(own, shipped_main)) return;
  platform::enter_folder_holding(own + "/" + INSTALLED_DISTRIBUTION, shipped_main);
}

// Copies a file byte for byte; 0, or -1 when it could not be read or written.
// The copy keeps the source's permission bits, so that a program stays a
// program under its new name.
int copy_file(const char* source, const char* destination) {
  FILE* in = open_file(source, "rb");
  if (in == nullptr) return -1;
  FILE* out = open_file(destination, "wb");
  if (out == nullptr) {
    std::fclose(in);
    return -1;
  }
  int result = 0;
  for (;;) {
    int byte = std::fgetc(in);
    if (byte == EOF) {
      if (std::ferror(in)) result = -1;
      break;
    }
    if (std::fputc(byte, out) == EOF) {
      result = -1;
      break;
    }
  }
  // A write that only fails when the buffer is flushed is a failed copy too.
  if (std::fflush(out) != 0) result = -1;
  struct stat info {};
  if (result == 0 && fstat(fileno(in), &info) == 0) fchmod(fileno(out), info.st_mode & 07777);
  std::fclose(in);
  std::fclose(out);
  return result;
}

int fail(const char* text) {
  MessageBoxA(nullptr, text, ERROR_TITLE, MB_OK);
  return SETUP_FAILED;
}

void start(const char* name, std::vector<std::string> argv) {
  start_program(name, argv, false, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  platform::init_process();
  enter_distribution_folder();
  // On a desktop the questions are dialogs.
  auto desktop_ui = platform::start_desktop(argc, argv, platform::DesktopRole::dialogs_only);
  make_directory(PROGRAM_FILES_DIRECTORY);
  make_directory(INSTALL_DIRECTORY);

  for (std::size_t i = 0; i < std::size(FILES); ++i) {
    if (copy_file(FILES[i].source, FILES[i].destination) != 0) {
      return fail(i == MAIN_PROGRAM_COPY ? MAIN_PROGRAM_COPY_FAILED : COPY_FAILED);
    }
  }
  if (FILE* shipped = open_file(PASS_THROUGH_COPY.source, "rb")) {
    std::fclose(shipped);
    FILE* kept = open_file(PASS_THROUGH_COPY.destination, "rb");
    if (kept != nullptr) {
      std::fclose(kept);
    } else if (copy_file(PASS_THROUGH_COPY.source, PASS_THROUGH_COPY.destination) != 0) {
      return fail(COPY_FAILED);
    }
  }

  HKEY run_key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, KEY_WRITE, &run_key) != ERROR_SUCCESS) {
    return fail(REGISTRY_OPEN_FAILED);
  }
  LONG written = RegSetValueExA(run_key, RUN_VALUE_NAME, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(RUN_COMMAND), sizeof RUN_COMMAND);
  RegCloseKey(run_key);
  if (written != ERROR_SUCCESS) return fail(REGISTRY_WRITE_FAILED);
  // The desktop's application menu starts the installed program too. Without
  // the entry Vellomar still works, so a failure is only told on stderr.
  if (platform::install_menu_entry(RUN_VALUE_NAME, RUN_COMMAND, MENU_ENTRY_COMMENT,
                                   VELLOMAR_ICON_SVG) != 0) {
    std::fprintf(stderr, "setup: could not add Vellomar to the application menu (%s)\n",
                 platform::menu_entry_path(RUN_VALUE_NAME).c_str());
  }

  change_directory(INSTALL_DIRECTORY);
  if (MessageBoxA(nullptr, BROWSER_QUESTION, SETUP_TITLE, MB_YESNO) == IDYES) {
    start("vellomar", {"vellomar", "I"});
    start("vellomar", {"vellomar", "N"});
  } else {
    start("notepad", {"notepad", "Vellomar.txt"});
  }
  start("vellomar", {"vellomar"});
  MessageBoxA(nullptr, SETUP_COMPLETE, SETUP_TITLE, MB_OK);
  return 0;
}
