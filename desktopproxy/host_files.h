// Reading and replacing the desktop's own files (Firefox profiles, KDE's
// configuration), named by their real paths rather than by the machine
// folder's names. A replaced file is written aside in the same folder and
// renamed over the old one, so a reader or a crash sees either the old or the
// new content, never a mix. Safe from several threads at once; never throws.
#pragma once

#include <sys/types.h>

#include <string>

namespace desktopproxy {

struct HostFile {
  bool exists = false;    // false: missing (not an error)
  bool readable = false;  // exists and was read whole
  std::string text;
};

HostFile read_host_file(const std::string& path);

// Replaces (or creates) `path` with `text`. An existing file keeps its
// permission bits; a new one gets `new_mode`. False when nothing was changed.
bool replace_host_file(const std::string& path, const std::string& text, mode_t new_mode);

// True when `path` exists and nobody may write it (no write bit for anyone):
// such a file is the user's statement that it stays as it is, even for root.
bool is_read_only_file(const std::string& path);

}  // namespace desktopproxy
