// The program's icons as SVG documents compiled into the programs: the tray
// icon's two states and the picture setup installs for the application menu.
#pragma once

// Ad blocking on (the application icon).
extern const char VELLOMAR_ICON_SVG[];
// Ad blocking off: the same picture, dimmed and struck through.
extern const char VELLOMAR_OFF_ICON_SVG[];
