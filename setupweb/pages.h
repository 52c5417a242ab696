// The setup pages, split so that each part can be checked without a socket:
// composing each page's markup, and the pages' actions on the stored
// settings. The router (setupweb/router.h) takes the request apart and sends
// the page.
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

// Up to three form values taken by position; null when absent. They point
// into the request target they were taken from.
struct FormValues {
  const char* value[3] = {nullptr, nullptr, nullptr};
};

enum class SetupPage { General, Definitions, Proxy, About, NotFound };

// The four lines of the navigation bar with `page`'s own line as plain text.
std::string compose_navigation_bar(SetupPage page);

// The page frame with its three slots filled, each copied unchanged.
std::string compose_frame(std::string_view navigation, std::string_view content,
                          std::string_view script);

// The not-found page for `target` (HTML-escaped in its slot).
std::string compose_not_found_page(std::string_view target);

std::string compose_general_content(bool internet_explorer, bool netscape, bool logging);

// `definitions` is the file's text as read; it is escaped for the text area
// so that a save from the page gives back the same text. `message`, put in
// unchanged, stands above the form.
std::string compose_definitions_content(std::string_view definitions,
                                        std::string_view message = "");

// `message` is put in unchanged; `host` is HTML-escaped; `port` is 0..65535.
std::string compose_proxy_content(std::string_view message, std::string_view host, int port);

std::string compose_about_content();

// The message shown above the host field when the stored host did not resolve.
inline constexpr std::string_view PROXY_NOT_FOUND_MESSAGE =
    "<br><font color=\"#FF0000\"><center>Proxy Address could not be found. Proxy not "
    "enabled!</font></center><br>";

// Shown instead of saving when the file is larger than the page can show: a
// save from the page would write its cut text back and lose the rest.
inline constexpr std::string_view DEFINITIONS_TOO_BIG_MESSAGE =
    "<br><font color=\"#FF0000\"><center>The definitions file is too big for this page. "
    "Nothing was saved: edit it with NotePad, then Reload.</center></font><br>";

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
