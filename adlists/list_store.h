// The converted lists of an installation: one file per list in the "Lists"
// folder of the current directory (the installation folder), "NAME.ini",
// beside "NAME.report" with what could not be converted.
//
// A list file starts with "#" header lines that say where the list came
// from, when, how many rules were converted, and what a later update needs
// (ETag, Last-Modified, expiry); the converted lines follow. Both files are
// replaced whole (written aside, then renamed), the report first, so a
// reader never sees a half-written list. The user's "vellomar.ini" is never
// touched.
//
// Functions work on the file system only and are safe from several threads
// as long as no two change the same list at once.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "adlists/list_converter.h"

namespace adlists {

// Longest list name; names are lower-case letters, digits, "-" and "_".
constexpr std::size_t MAX_LIST_NAME = 40;
// An update whose converted list keeps fewer than this share (in percent) of
// the old list's lines is refused as broken.
constexpr std::size_t MIN_KEPT_PERCENT = 10;

struct ListInfo {
  std::string name;
  std::string source;  // a file name or an http(s) address
  std::time_t converted_at = 0;
  long expires_seconds = DEFAULT_EXPIRES_SECONDS;
  std::string etag;           // from the last download, if any
  std::string last_modified;  // likewise
  std::size_t exact = 0;
  std::size_t approximated = 0;
  std::size_t skipped = 0;
  std::size_t lines = 0;  // converted lines in the file
  std::string title;
};

bool valid_list_name(const std::string& name);

// A list name made from a source: the last part of its path or address
// without its ending, lower-cased, other characters dropped ("easylist.txt"
// -> "easylist"); empty when nothing usable is left.
std::string name_from_source(const std::string& source);

// The complete text of a list file.
std::string list_file_text(const ListInfo& info, const ConvertedList& converted);

// The header of the installed list `name`; nothing when there is none.
std::optional<ListInfo> read_list_info(const std::string& name);

// Every installed list, in name order.
std::vector<ListInfo> installed_lists();

// Stores (adds or replaces) a list; fills in the counts of `info` from
// `converted`. False with `error` set when nothing was changed.
bool store_list(ListInfo& info, const ConvertedList& converted, std::string* error);

// Records that the list was checked at `now` and found unchanged.
bool touch_list(const std::string& name, std::time_t now);

// Removes both files of a list. False with `error` set when there is no such
// list or it could not be removed.
bool remove_list(const std::string& name, std::string* error);

// The text of the list's report; nothing when there is none.
std::optional<std::string> read_report(const std::string& name);

// Whether the list's lifetime has run out at `now`.
bool list_expired(const ListInfo& info, std::time_t now);

}  // namespace adlists
