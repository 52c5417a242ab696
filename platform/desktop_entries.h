// Desktop entry files (freedesktop.org .desktop files) that Vellomar writes
// into the user's folders: the autostart entry that stands for the Run value
// "start at log-in", and the application-menu entry with its icon.
//
// Contract
// - Every file written carries the line "X-Vellomar-Generated=true"; a file
//   without it is the user's own and is never replaced or removed.
// - Files are written aside and renamed into place, so a reader sees the old
//   or the new entry, never half of one. Folders are created as needed.
// - The autostart folder is $XDG_CONFIG_HOME/autostart (default
//   ~/.config/autostart), the menu folder $XDG_DATA_HOME/applications and the
//   icon $XDG_DATA_HOME/icons/hicolor/scalable/apps (default ~/.local/share).
// - Safe from any thread; nothing throws. Results: 0, or -1 when nothing was
//   changed (no folder, a file of the user's own, a command that cannot be
//   written down).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Entries' file names are the value name in lower case plus ".desktop";
// names other than letters, digits, ".", "-" and "_" get no entry.
std::optional<std::string> entry_file_name(std::string_view name);

// The Run value `name` was set to `command` (a command line of the original
// desktop, such as "C:\Program Files\Vellomar\Vellomar.exe"): writes the
// autostart entry that starts the same program at log-in. A user's choice to
// disable the entry (Hidden, X-GNOME-Autostart-enabled) is kept.
int write_autostart_entry(std::string_view name, std::string_view command);
// The Run value `name` is gone: removes the autostart entry Vellomar wrote.
int remove_autostart_entry(std::string_view name);

// The application-menu entry `name` that starts `command` (as above), with
// its icon drawn as `icon_svg`.
int install_menu_entry(std::string_view name, std::string_view command, std::string_view comment,
                       std::string_view icon_svg);
// Removes the menu entry `name` and its icon, if Vellomar wrote them.
int remove_menu_entry(std::string_view name);

// The autostart entry's host path for `name`, and the menu entry's.
std::string autostart_entry_path(std::string_view name);
std::string menu_entry_path(std::string_view name);
std::string menu_icon_path(std::string_view name);

// The Exec line of an entry that runs the program named by the original
// desktop's command line `command` in this machine; empty when it cannot be
// written down (a line break in it).
std::string exec_line(std::string_view command);

}  // namespace platform
