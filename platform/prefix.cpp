// The machine's folder: the one host folder that stands for the whole
// original machine (its drives, its registry).
#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace platform {

std::string prefix_dir() {
  std::string dir;
  if (const char* prefix = std::getenv("VELLOMAR_PREFIX"); prefix != nullptr && prefix[0] != '\0') {
    dir = prefix;
  } else if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] != '\0') {
    dir = std::string(data) + "/vellomar";
  } else {
    const char* home = std::getenv("HOME");
    dir = std::string(home != nullptr ? home : "") + "/.local/share/vellomar";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace platform
