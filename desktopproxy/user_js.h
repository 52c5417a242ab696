// The text of a Firefox profile's user.js and prefs.js as Vellomar edits it.
//
// Vellomar's proxy preferences live in one marked block at the end of
// user.js, which Firefox applies over prefs.js at every start. The block also
// keeps, as comments, the profile's own prefs.js lines for the same five
// preferences from before the block was first written, so that switching off
// can put them back. Everything outside the block is the user's and is kept
// byte for byte. Pure functions over strings; safe from any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace desktopproxy {

// The preferences the block sets, in the order it sets them.
inline constexpr std::size_t PROXY_PREF_COUNT = 5;
inline constexpr std::array<std::string_view, PROXY_PREF_COUNT> PROXY_PREFS = {
    "network.proxy.http", "network.proxy.http_port", "network.proxy.ssl", "network.proxy.ssl_port",
    "network.proxy.type"};

// For each of PROXY_PREFS, the profile's own user_pref line from before, or
// nothing when the preference was not set (Firefox then used its default).
using SavedPrefs = std::array<std::optional<std::string>, PROXY_PREF_COUNT>;

// The lines of PROXY_PREFS in a prefs.js text (the last one of each counts).
SavedPrefs prefs_lines_of(std::string_view prefs_js);

// The saved lines recorded in the first Vellomar block of `user_js`; nothing
// when the text holds no block.
std::optional<SavedPrefs> saved_prefs_in(std::string_view user_js);

// `user_js` without any Vellomar block; the user's lines are untouched.
std::string without_blocks(std::string_view user_js);

// `user_js` with one block pointing Firefox at 127.0.0.1:8000 at its end
// (older blocks removed), recording `saved`. The block uses the text's own
// line ending (CR LF when the text has one).
std::string with_proxy_block(std::string_view user_js, const SavedPrefs& saved);

// `user_js` with one block that sets PROXY_PREFS back to `saved` (the
// default of each preference where nothing was saved), for a Firefox that is
// running and would otherwise write the proxied values back into prefs.js
// when it exits.
std::string with_restore_block(std::string_view user_js, const SavedPrefs& saved);

// `prefs_js` with each of PROXY_PREFS set back to its saved line, or its line
// removed when nothing was saved; a preference whose current line is neither
// absent nor the one the block sets was changed by the user and is kept.
std::string restored_prefs_js(std::string_view prefs_js, const SavedPrefs& saved);

}  // namespace desktopproxy
