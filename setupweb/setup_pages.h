// The setup pages' parts, split so that each can be checked without a socket:
// taking the form values out of a request target, choosing the page, judging
// whether the request came from the setup pages themselves, composing each
// page's markup, and the pages' actions on the stored settings.
//
// Everything here runs on the connection session thread that serves one setup
// request and keeps no state between requests. The compose_* functions are
// pure; the run_* functions read and write the registry, the definitions file,
// the rule list and the upstream proxy setting, each of which is safe to use
// from several sessions at once (their own headers say how).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The two addresses under which the setup pages are the browser's own site.
inline constexpr std::string_view SETUP_HOSTS[] = {"127.0.0.1:8000", "localhost:8000"};

// Up to three form values taken by position; null when absent. They point
// into the request target they were taken from.
struct FormValues {
  const char* value[3] = {nullptr, nullptr, nullptr};
};

// Takes the form values out of `target` (zero-terminated, writable): value 1
// after the first "=", cut at the next "&" (overwritten with a zero); value 2
// after the first "=" behind that "&", cut likewise; value 3 after the first
// "=" behind the second "&", running to the end of the target uncut.
FormValues extract_form_values(char* target);

enum class SetupPage { General, Definitions, Proxy, About, NotFound };

// Chooses the page by the first bytes of the target (after the values were
// taken out): empty or "?" General, "defi" Ad Definitions, "proxy/" Proxy
// Server, "about/" About, anything else none.
SetupPage choose_page(const char* target);

// What the request's headers allow.
enum class RequestTrust {
  Act,         // from the setup pages themselves, or from a tool: act as asked
  PlainVisit,  // made by another site: show the page, change nothing
  Forbidden,   // a Host other than the setup pages' own: no page at all
};

// Judges the header lines of `request` (the whole request as received,
// zero-terminated, or null). Header names are matched without regard to case.
RequestTrust judge_request(const char* request);

// The four lines of the navigation bar with `page`'s own line as plain text.
std::string compose_navigation_bar(SetupPage page);

// The page frame with its three slots filled, each copied unchanged.
std::string compose_frame(std::string_view navigation, std::string_view content,
                          std::string_view script);

// The not-found page for `target` (HTML-escaped in its slot).
std::string compose_not_found_page(std::string_view target);

std::string compose_general_content(bool internet_explorer, bool netscape, bool logging);

// `definitions` is the file's text as read; it is escaped for the text area
// so that a save from the page gives back the same text.
std::string compose_definitions_content(std::string_view definitions);

// `message` is put in unchanged; `host` is HTML-escaped; `port` is 0..65535.
std::string compose_proxy_content(std::string_view message, std::string_view host, int port);

std::string compose_about_content();

// The message shown above the host field when the stored host did not resolve.
inline constexpr std::string_view PROXY_NOT_FOUND_MESSAGE =
    "<br><font color=\"#FF0000\"><center>Proxy Address could not be found. Proxy not "
    "enabled!</font></center><br>";

// Focus scripts of the two pages that have a main field.
inline constexpr std::string_view DEFINITIONS_SCRIPT = "document.forms[0].settings.focus()";
inline constexpr std::string_view PROXY_SCRIPT = "document.mainForm.host.focus()";

// Each page: performs its action on `values` (all absent for a plain visit)
// and returns its content.
std::string run_general_page(const FormValues& values);
std::string run_definitions_page(const FormValues& values);
std::string run_proxy_page(const FormValues& values);

// The whole page (frame included) for a page other than NotFound.
std::string run_setup_page(SetupPage page, const FormValues& values);
