// The answers the proxy gives itself, byte for byte: the blocked image and
// its header, the blocked-tunnel page, the window-closing page, the reload
// page, the tunnel-established reply and the connect-failure page.
#pragma once

#include <cstddef>
#include <string_view>

#include "settings/product.h"

extern const std::string_view BLOCKED_IMAGE_HEADER;  // 214 bytes
extern const std::string_view BLOCKED_IMAGE;         // 54 bytes, GIF89a 8x8
extern const std::string_view BLOCKED_IMAGE_ANSWER;  // the header, then the image
extern const std::string_view BLOCKED_TUNNEL_PAGE;   // 176 bytes
extern const std::string_view CLOSE_WINDOW_PAGE;     // 218 bytes
extern const std::string_view RELOAD_PAGE;           // 186 bytes
extern const std::string_view TUNNEL_ESTABLISHED;

// Composes the connect-failure page for `host` (HTML-escaped: & < > ") and the
// socket error `error_code` into out[capacity]; returns its length. A page
// that would not fit is cut at a whole line of the host's escaping, never
// written past `capacity`.
std::size_t compose_connect_failure_page(char* out, std::size_t capacity, const char* host,
                                         int error_code);
