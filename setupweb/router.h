// The setup pages' router: serves one request addressed to the proxy itself
// (GET /..., the setup pages) and sends exactly one answer. Its parts (the
// form values, the page choice, the header checks) are open to tests; each
// keeps no state and is safe from any thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/winsock.h"
#include "setupweb/pages.h"

// The answer's head, sent before every page: browsers of today refuse an
// answer without a status line on this port. Pages must not be framed by
// other sites, and must never be served from a cache after a change.
inline constexpr std::string_view SETUP_PAGE_HEAD =
    "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
    "X-Frame-Options: DENY\r\n\r\n";
inline constexpr std::string_view NOT_FOUND_HEAD =
    "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
    "X-Frame-Options: DENY\r\n\r\n";
// For a request whose Host names another site (a re-bound DNS name): no page.
inline constexpr std::string_view FORBIDDEN_HEAD =
    "HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
    "X-Frame-Options: DENY\r\n\r\n";

// For a setup request too large to be judged whole: no page, no action.
inline constexpr std::string_view TOO_LARGE_HEAD =
    "HTTP/1.0 431 Request Header Fields Too Large\r\nContent-Type: text/html\r\n"
    "Cache-Control: no-store\r\nX-Frame-Options: DENY\r\n\r\n";
inline constexpr std::string_view TOO_LARGE_PAGE =
    "<html><body>Vellomar Setup: the request is too large. Nothing was changed.</body></html>";

// The two addresses under which the setup pages are the browser's own site.
inline constexpr std::string_view SETUP_HOSTS[] = {"127.0.0.1:8000", "localhost:8000"};

// Takes the form values out of `target` (zero-terminated, writable): value 1
// after the first "=", cut at the next "&" (overwritten with a zero); value 2
// after the first "=" behind that "&", cut likewise; value 3 after the first
// "=" behind the second "&", running to the end of the target uncut.
FormValues extract_form_values(char* target);

// Chooses the page by the first bytes of the target (after the values were
// taken out): empty or "?" General, "defi" Ad Definitions, "proxy/" Proxy
// Server, "about/" About, anything else none.
SetupPage choose_page(const char* target);

// What the request's headers allow.
enum class RequestTrust {
  Act,         // from the setup pages themselves, or from a tool: act as asked
  PlainVisit,  // made by another site, or without a Host: show the page, change nothing
  Forbidden,   // a Host other than the setup pages' own: no page at all
};

// Judges the header lines of `request` (the request line and header block,
// zero-terminated, or null). Header names are matched without regard to case.
// Acting needs a Host naming the setup pages: a page can make a browser send
// bytes that look like a request without one, never one with our Host.
RequestTrust judge_request(const char* request);

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

// Answers a setup request whose request line and headers do not fit the
// bound the proxy reads them within: an error page, no action.
void refuse_setup_request(SOCKET client);
