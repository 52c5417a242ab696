// The setup pages' router: serves one request addressed to the proxy itself
// (GET /..., the setup pages) and sends exactly one answer.
#pragma once

#include "platform/winsock.h"

// The largest page text of the original design; larger pages are still sent
// whole.
constexpr std::size_t PAGE_BUFFER_SIZE = 32768;
constexpr std::size_t PAGE_TEXT_LIMIT = PAGE_BUFFER_SIZE - 2;

// client: the browser socket (neither read from nor closed here).
// target: the request target without its leading "/" ("proxy/?host=a"),
// writable; the form values are cut out of it in place.
// headers: the whole request as received, zero-terminated, for the header
// checks that keep other web sites from acting on the setup pages.
void serve_setup_request(SOCKET client, char* target, const char* headers);
