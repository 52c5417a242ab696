// The filter verdict the matcher gives for a request and request dispatch
// acts on.
#pragma once

// The filter verdict. A type of its own, so that no socket, count or flag is
// ever taken for one; the values are those of the original design.
enum class Verdict { RELOAD = -1, PASS = 0, BLOCK = 1, CLOSE_WINDOW = 2 };
inline constexpr Verdict VERDICT_RELOAD = Verdict::RELOAD;
inline constexpr Verdict VERDICT_PASS = Verdict::PASS;
inline constexpr Verdict VERDICT_BLOCK = Verdict::BLOCK;
inline constexpr Verdict VERDICT_CLOSE_WINDOW = Verdict::CLOSE_WINDOW;
