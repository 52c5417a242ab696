// Message boxes. On a desktop that shows them (set_message_box_shower), the
// box is a real dialog. Otherwise, with a terminal, the box is shown on it
// and answered there. Without one, VELLOMAR_MSGBOX_ANSWER=yes|no answers every Yes/No box (no
// when unset) and an OK box is acknowledged at once; when that variable is
// set, boxes are answered from it even with a terminal or a desktop. Whenever
// VELLOMAR_MSGBOX_LOG=FILE is set, every box shown appends one line of JSON to
// FILE: {"caption":"…","text":"…","type":N,"answer":"ok|yes|no|cancel"}.
// Safe from several threads; a box blocks only its calling thread.
#pragma once

#include "platform/win32.h"

// Shows `text` captioned `caption`; returns IDOK, IDYES or IDNO.
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);

namespace platform {
// Shows a box as a dialog of the real desktop and returns the answer
// (IDOK, IDCANCEL, IDYES or IDNO), or 0 when it cannot be shown now. Called
// from any thread that calls MessageBoxA.
using MessageBoxShower = int (*)(const char* text, const char* caption, UINT type);
// Installs the desktop's shower (null: none, boxes go to the terminal).
void set_message_box_shower(MessageBoxShower shower);
}  // namespace platform
