// The pop-up script neutraliser: for hosts named by L rules every "onunload",
// and by O rules every "window.open", in a reply piece (in any letter case)
// has its first two bytes overwritten with "//", and each is logged as
// "Blocked Popup: <host>". The piece keeps its length. Safe from any number of
// threads; each call writes only the piece it was given.
#pragma once

#include <cstddef>

// The largest reply piece handed over, its terminating zero included.
constexpr std::size_t REPLY_PIECE_SIZE = 32768;

struct RuleList;

// The first occurrence of the lower-case `pattern` in `text` (up to its first
// zero byte), letters of `text` compared without case; null when none. The
// neutraliser's own search, open to its tests.
char* find_nocase(char* text, const char* pattern);

// Overwrites in `piece` (the reply bytes followed by a zero byte; only the
// bytes before the first zero are searched) what `rules` name for `host`, the
// host of the latest request, and returns how many occurrences it overwrote (the number of
// "Blocked Popup" lines due; filter/rules_in_force.h writes them).
int neutralise_popups_quietly(const RuleList& rules, char* piece, const char* host);
