// Files and folders named the way the original desktop names them.
//
// The machine's folder (VELLOMAR_PREFIX, by default
// ${XDG_DATA_HOME:-$HOME/.local/share}/vellomar) stands for the whole machine:
// drive_c/ inside it is C:\, drive_d/ is D:\, and so on. Names are translated
// lexically: "\" and "/" both separate names, "." and ".." are folded, a name
// without a drive letter is taken against the current directory, and a name
// that starts with "\" is on the current drive. Each part of a name that
// already exists on disk is found without regard to letter case, so
// "vellomar.ini" and "Vellomar.ini" reach the same file; a file or folder that
// is created keeps the case it was given.
//
// All calls are safe from several threads at once and never throw.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The machine's folder, without a trailing "/". Read from the environment at
// every call, so tests may point it elsewhere.
std::string prefix_dir();

// The host path for a name as written on the original desktop ("C:\Program
// Files\Vellomar\Vellomar.ini", "..\Users\x", "vellomar.log").
std::string host_path(std::string_view name);

// The current directory, as a name of the original desktop ("C:\Program
// Files\Vellomar"); the host path when the process stands outside the prefix.
std::string current_directory();

// The host folder that holds the running program's own file ("/usr/bin"),
// without a trailing "/"; empty when the system does not tell.
std::string program_folder();

// Makes the host folder `folder` (a path of this system, not a desktop name)
// the current directory, but only when it holds an entry named `entry`;
// true when it did. Programs installed apart from their data find it this way.
bool enter_folder_holding(const std::string& folder, const char* entry);

// Writes all `size` bytes to descriptor `fd`, going on after short writes
// and interruptions; false on any other failure.
bool write_whole(int fd, const char* data, std::size_t size);

}  // namespace platform

// Opens a file like the C library's fopen. Modes "r", "w", "a" (with an
// optional "+") are text mode: on reading, a CR LF pair reads as LF and a lone
// CR is left as it is; on writing, every LF is written as CR LF. Adding "b"
// gives the bytes unchanged. The returned stream is an ordinary FILE* for
// fgets, fgetc, fprintf, fputs and fclose. Returns null with errno set when the
// file cannot be opened.
FILE* open_file(const char* name, const char* mode);

// Reads the whole file `name` into `bytes` (replacing what it held), bytes
// unchanged, in one pass and without a buffer on the caller's stack (loaders
// run on session threads). False when the file cannot be opened or read to
// its end; `bytes` is then empty. May throw std::bad_alloc.
bool read_whole_file(const char* name, std::string* bytes);

// Replaces the file `name` with `size` bytes of `data` in one step: the bytes
// go to a new file in the same folder, which is flushed to disk and renamed
// over the old one, so a reader (or a crash) sees either the old or the new
// content, never a mix. `text_mode` turns each LF into CR LF first. Returns 0,
// or -1 when nothing was changed. Replacing also removes the new files that
// earlier writers of the same name, killed before their rename, left beside
// it; a writer that is still running keeps its own.
int replace_file(const char* name, const char* data, std::size_t size, bool text_mode);

// Changes the process's current directory; 0 on success, -1 when the folder
// does not exist.
int change_directory(const char* name);

// Creates one folder; 0 when created, -1 otherwise (an existing folder gives
// -1 with errno EEXIST, as the C library's _mkdir does).
int make_directory(const char* name);

// The names of the regular files in a folder, in byte order; none when the
// folder does not exist or cannot be read.
std::vector<std::string> list_files(const char* folder);
