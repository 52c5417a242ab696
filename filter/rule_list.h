// The ad definitions file ("vellomar.ini" in the current directory) and the
// rule list built from it.
//
// Each line is classified by its first character: "A", "F", "U", "N", "L",
// "O" make a rule of that kind whose text is the rest of the line; "P" names
// the upstream proxy; an empty line, CR, space or "#" is a comment; anything
// else is logged as a bad line. Lines are read in pieces of at most
// DEFINITION_PIECE_SIZE characters. One carriage return right before a line's
// end is dropped, so files saved with CR CR LF line ends give the same rules
// as any other.
//
// The rule list in force is published whole (platform/published.h): a reload
// builds the new list aside and swaps it in, so sessions matching at that
// moment keep reading the list they started with. current_rules() is safe
// from any thread; the reference it returns stays valid until the same
// thread's next call. Loads, frees and reloads may come from any thread; they
// run one at a time, each on the thread that asked for it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "filter/ad_rule.h"

// The list in force for the calling thread's next match.
const RuleList& current_rules();

// Reads "vellomar.ini" and puts its rules in front of the list in force,
// applying each "P" line (stored with write_proxy_setting, then applied with
// select_upstream_proxy), and reads the converted lists of the "Lists" folder
// anew. Without that folder, a file that cannot be opened changes nothing.
void load_ad_definitions();

// Empties the list in force.
void free_rule_list();

// What a reload does, as one swap: the upstream proxy is reset
// (reset_upstream_proxy), then the list is rebuilt from the file and the
// converted lists alone and published. Sessions never see an empty list in between. A missing file
// leaves an empty list in force.
void reload_ad_definitions();

// The same without touching the upstream proxy first, for callers that reset
// it their own way (the setup pages keep the proxy's host).
void rebuild_ad_definitions();
