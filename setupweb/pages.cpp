// The four setup pages: their markup, the frame they share, and the actions
// their forms ask for (browser switches and logging, the definitions file and
// the rule list, the upstream proxy).
#include "setupweb/pages.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "browsercfg/desktop_side.h"
#include "browsercfg/ie_proxy.h"
#include "browsercfg/netscape_prefs.h"
#include "filter/rule_list.h"
#include "platform/process.h"
#include "settings/product.h"
#include "settings/registry_settings.h"
#include "settings/upstream_proxy.h"
#include "setupweb/definitions.h"
#include "text/text_helpers.h"

namespace {

constexpr char CRLF[] = "\r\n";

// Appends each line followed by CR LF.
void add_lines(std::string& out, std::initializer_list<std::string_view> lines) {
  for (std::string_view line : lines) {
    out.append(line);
    out.append(CRLF);
  }
}

}  // namespace

std::string compose_navigation_bar(SetupPage page) {
  struct Entry {
    SetupPage page;
    std::string_view own;
    std::string_view link;
  };
  static constexpr Entry entries[] = {
      {SetupPage::General, "General&nbsp;&nbsp;",
       "<a href=\"/\" style=\"color: #FFFFFF\">General</a>&nbsp;&nbsp;"},
      {SetupPage::Definitions, "Ad Definitions&nbsp;&nbsp;",
       "<a href=\"/definitions/\" style=\"color: #FFFFFF\">Ad Definitions</a>&nbsp;&nbsp;"},
      {SetupPage::Proxy, "Proxy Server&nbsp;&nbsp;",
       "<a href=\"/proxy/\" style=\"color: #FFFFFF\">Proxy Server</a>&nbsp;&nbsp;"},
      {SetupPage::About, "About Vellomar&nbsp;&nbsp;",
       "<a href=\"/about/\" style=\"color: #FFFFFF\">About Vellomar</a>&nbsp;&nbsp;"},
  };
  std::string bar;
  for (const Entry& entry : entries) add_lines(bar, {entry.page == page ? entry.own : entry.link});
  return bar;
}

std::string compose_frame(std::string_view navigation, std::string_view content,
                          std::string_view script) {
  std::string page;
  page.reserve(navigation.size() + content.size() + script.size() + 1400);
  add_lines(page, {
                      "<html>",
                      "<head><title>Vellomar Setup</title></head>",
                      "<body bgcolor=\"#008080\" leftmargin=\"0\" topmargin=\"0\" "
                      "marginheight=\"0\" marginwidth=\"0\" >",
                      "<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%\" "
                      "height=\"100%\"><tr><td bgcolor=\"#008080\" valign=\"middle\" "
                      "align=\"center\">",
                      "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td "
                      "bgcolor=\"#000000\">",
                      "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\" "
                      "bordercolor=\"#C0C0C0\" width=\"500\">",
                      "<tr>",
                      "<td align=\"left\" valign=\"top\" bgcolor=\"#000080\">",
                      "<font face=\"arial\" size=\"2\" color=\"#FFFFFF\">",
                      "Vellomar Setup",
                      "</font>",
                      "</td>",
                      "</tr>",
                      "<tr>",
                      "<td align=\"left\" valign=\"top\" bgcolor=\"#C0C0C0\" nowarp>",
                      "<font face=\"arial\" size=\"2\">",
                  });
  // The slots are appended, never formatted: a "%" in them stays as it is.
  page.append(navigation);
  page.append(CRLF);
  add_lines(page, {
                      "</font>",
                      "</td>",
                      "<tr>",
                      "<tr><td align=\"center\" valign=\"middle\" bgcolor=\"#C0C0C0\" "
                      "height=\"300\">",
                  });
  page.append(content);
  page.append(CRLF);
  add_lines(page, {
                      "</td></tr></table>",
                      "</td></tr></table>",
                      "</td></tr></table>",
                      "<script language=\"JavaScript\">",
                      "<!--",
                  });
  page.append(script);
  page.append(CRLF);
  add_lines(page, {"//-->", "</script>", "</body>", "</html>"});
  return page;
}

std::string compose_not_found_page(std::string_view target) {
  // The target is escaped: markup in it must not run on the setup pages' site.
  std::string page;
  add_lines(page, {"<HTML><HEAD><META HTTP-EQUIV=\"Refresh\" CONTENT=\"0; "
                   "URL=http://127.0.0.1:8000/\"><TITLE>Vellomar Setup</TITLE>"});
  page.append("</HEAD><BODY>Page not found: (http://127.0.0.1:8000/");
  page.append(escape_html(target, true));
  page.append("). Click <a href=\"http://127.0.0.1:8000/\">here.</a></BODY>");
  page.append(CRLF);
  add_lines(page, {"</HTML>"});
  return page;
}

std::string compose_general_content(bool internet_explorer, bool netscape, bool logging) {
  auto checkbox = [](std::string_view name, bool ticked, std::string_view label) {
    std::string line = "<input type=\"checkbox\" name=\"";
    line.append(name).append("\" ").append(ticked ? "checked" : "");
    line.append(" value=\"").append(name).append("\">").append(label);
    return line;
  };
  std::string content;
  add_lines(content, {
                         "<form method=\"get\" action=\"\" name=\"mainForm\">",
                         "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>",
                         "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">",
                         "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\" colspan=\"2\">",
                         "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">",
                         "Vellomar's General Settings",
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"left\" valign=\"top\">",
                         "<font face=\"verdana,arial\" size=\"2\">",
                         checkbox("ie", internet_explorer, "Work with Internet Explorer"),
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"left\" valign=\"top\">",
                         "<font face=\"verdana,arial\" size=\"2\">",
                         checkbox("netscape", netscape, "Work with Netscape"),
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"left\" valign=\"top\">",
                         "<font face=\"verdana,arial\" size=\"2\">",
                         checkbox("log", logging, "Enable Logging"),
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"center\" valign=\"top\" colspan=\"2\">",
                         "<font face=\"verdana,arial\" size=\"2\">",
                         "<input type=\"submit\" name=\"save\" value=\"Save\">",
                         "</font>",
                         "</td></tr>",
                         "</table>",
                         "</table>",
                         "</form>",
                     });
  return content;
}

std::string compose_definitions_content(std::string_view definitions, std::string_view message) {
  std::string textarea = "<textarea name=\"settings\" rows=\"10\" cols=\"55\">";
  // A browser drops one line feed directly after the opening tag; a text that
  // begins with an empty line gets an extra one so that it survives a save.
  if (!definitions.empty() && definitions.front() == '\n') textarea.push_back('\n');
  textarea.append(escape_html(definitions, false));
  textarea.append("</textarea><br>");
  std::string content;
  if (!message.empty()) add_lines(content, {message});
  add_lines(content, {
                         "<form method=\"get\" action=\"/definitions/\" name=\"mainForm\">",
                         "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>",
                         "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">",
                         "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\">",
                         "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">",
                         "Vellomar's Ad Blocking Settings",
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"center\" valign=\"top\">",
                         "<font face=\"verdana,arial\" size=\"2\">",
                         textarea,
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"center\" valign=\"top\">",
                         "<font color=\"#FF0000\" face=\"verdana,arial\" size=\"1\">",
                         "<i><b>You shouldn't need t change these settings.",
                         "Read the help file before changing.</i></b>",
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"right\" valign=\"middle\">",
                         "<font face=\"verdana,arial\" size=\"2\">",
                         "<center><input type=\"submit\" value=\"Save\">",
                         "<input name=\"help\" type=\"submit\" value=\"Help\">",
                         "</center><font size=\"1\">If the file is too big, edit with <input "
                         "name=\"notepad\" type=\"submit\" value=\"NotePad\">",
                         " then <input name=\"reload\" type=\"submit\" value=\"Reload\"></font>",
                         "</font>",
                         "</td></tr>",
                         "</table>",
                         "</td></tr></table>",
                         "</form>",
                     });
  return content;
}

std::string compose_proxy_content(std::string_view message, std::string_view host, int port) {
  std::string first = "<font face=\"verdana,arial\" size=\"2\">";
  first.append(message);
  std::string fields = "Host:&nbsp;<input name=\"host\" value=\"";
  fields.append(escape_html(host, true));
  fields.append("\" type=\"text\" size=\"30\">&nbsp;Port:&nbsp;<input name=\"port\" value=\"");
  fields.append(std::to_string(port));
  fields.append("\" type=\"text\" size=\"5\">");
  std::string content;
  add_lines(content,
            {
                "<form method=\"get\" action=\"/proxy/\" name=\"mainForm\">",
                "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>",
                "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">",
                "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\">",
                "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">",
                "Connect to the Internet though this Proxy Server",
                "</font>",
                "</td></tr>",
                "<tr><td align=\"left\" valign=\"top\">",
                first,
                fields,
                "</font>",
                "</td></tr>",
                "<tr><td align=\"center\" valign=\"top\">",
                "<font face=\"verdana,arial\" size=\"1\" color=\"#FF0000\">",
                "<i>Most people will not need to use a proxy server. But if you are behind a "
                "firewall you may need one. Ask your system administrator or Internet Service "
                "Provider for the settings.</i>",
                "</font>",
                "</td></tr>",
                "<tr><td align=\"center\" valign=\"top\">",
                "<font face=\"verdana,arial\" size=\"2\">",
                "<input type=\"submit\" value=\"Save\">",
                "</font>",
                "</td></tr>",
                "</table>",
                "</td></tr></table>",
                "</form>",
            });
  return content;
}

std::string compose_about_content() {
  const std::string home = HOME_PAGE_ADDRESS;
  const std::string link = "<a href=\"" + home + "/\">" + home + "</a>";
  std::string content;
  add_lines(content, {
                         "<form method=\"get\" action=\"/about/\" name=\"mainForm\">",
                         "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>",
                         "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">",
                         "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\">",
                         "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">",
                         "About Vellomar",
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"center\" valign=\"top\">",
                         "<font face=\"verdana,verdana,arial\" size=\"2\">",
                         "Vellomar Version 1.0<br>",
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"center\" valign=\"top\">",
                         "<font face=\"verdana,verdana,arial\" size=\"2\">",
                         "Copyright &copy; 2026 The Vellomar developers. All rights reserved.",
                         "</font>",
                         "</td></tr>",
                         "<tr><td align=\"center\" valign=\"top\">",
                         "<font face=\"verdana,verdana,arial\" size=\"1\">",
                         link,
                         "</font>",
                         "</td></tr>",
                         "</table>",
                         "</table>",
                         "</form>",
                     });
  return content;
}

std::string run_general_page(const FormValues& values) {
  const char* const* v = values.value;
  bool firefox_changed = false;
  // A submission always carries value 1 (at least save=Save); the boxes are
  // found by position: only ticked boxes are sent, in form order.
  if (v[0] != nullptr) {
    const bool ie = std::strcmp(v[0], "ie") == 0;
    const char* next = ie ? v[1] : v[0];
    const bool netscape = next != nullptr && std::strcmp(next, "netscape") == 0;
    bool logging;
    if (ie && netscape) {
      // Value 3 runs on to the end of the target ("log&save=Save").
      logging = v[2] != nullptr && std::strncmp(v[2], "log", 3) == 0;
    } else {
      const char* compared = (ie || netscape) ? v[1] : v[0];
      logging = compared != nullptr && std::strcmp(compared, "log") == 0;
    }
    configure_ie_proxy(ie ? 1 : 0);
    // The user's own desktop proxy, found when the desktop is pointed here,
    // keeps working behind this running proxy from now on.
    if (auto upstream = point_desktop_proxy(ie)) {
      select_upstream_proxy(upstream->host.c_str(), upstream->port);
    }
    configure_netscape_proxy(netscape ? 1 : 0);
    firefox_changed = point_firefox_profiles(netscape) > 0;
    write_log_enabled(logging ? 1 : 0);
  }
  std::string content = compose_general_content(install_flag_set(Browser::InternetExplorer),
                                                install_flag_set(Browser::Netscape), log_enabled());
  // Only a submission that changed a Firefox profile adds this one line.
  if (firefox_changed) {
    content.append("<p><font face=\"verdana,arial\" size=\"2\">");
    content.append(FIREFOX_RESTART_NOTE);
    content.append("</font></p>");
    content.append(CRLF);
  }
  return content;
}

std::string run_definitions_page(const FormValues& values) {
  const char* const* v = values.value;
  if (v[1] != nullptr) {
    // Value 2 names the button pressed; the text area is not saved then.
    if (std::strcmp(v[1], "Help") == 0) {
      start_program("notepad", {"notepad", "vellomar.hlp"}, false, nullptr);
    } else if (std::strcmp(v[1], "NotePad") == 0) {
      start_program("notepad", {"notepad", "Vellomar.ini"}, false, nullptr);
    } else if (std::strcmp(v[1], "Reload") == 0) {
      // The upstream proxy is marked not in use (its host kept), then the new
      // list is built aside and swapped in whole, so no session matches
      // against a half-built or empty list.
      suspend_upstream_proxy();
      rebuild_ad_definitions();
    }
  } else if (v[0] != nullptr) {
    bool whole = true;
    const std::string shown = read_definitions_text("vellomar.ini", &whole);
    // The page showed the file cut; saving its text would drop the rest.
    if (!whole) return compose_definitions_content(shown, DEFINITIONS_TOO_BIG_MESSAGE);
    write_definitions_text(v[0]);
  }
  return compose_definitions_content(read_definitions_text("vellomar.ini"));
}

std::string run_proxy_page(const FormValues& values) {
  const char* const* v = values.value;
  if (v[0] != nullptr && v[1] != nullptr) write_proxy_setting(v[0], leading_number(v[1]));
  std::string shown_host;
  StoredProxySetting stored{};
  if (read_proxy_setting(&stored)) {
    select_upstream_proxy(stored.host, stored.port);
    shown_host = stored.host;
  } else {
    // No stored setting: the one in use is applied again unchanged. A proxy
    // that a Reload suspended stays out of use: its kept host must not be
    // switched back on here.
    const UpstreamProxy in_use = current_upstream_proxy();
    const int port = in_use.state == UpstreamState::Suspended ? 0 : in_use.port;
    select_upstream_proxy(in_use.host, port);
    shown_host = in_use.host;
  }
  const UpstreamProxy applied = current_upstream_proxy();
  const bool unresolved = applied.state == UpstreamState::Unresolved && !shown_host.empty();
  return compose_proxy_content(unresolved ? PROXY_NOT_FOUND_MESSAGE : "", shown_host, applied.port);
}

std::string run_setup_page(SetupPage page, const FormValues& values) {
  switch (page) {
    case SetupPage::General:
      return compose_frame(compose_navigation_bar(page), run_general_page(values), "");
    case SetupPage::Definitions:
      return compose_frame(compose_navigation_bar(page), run_definitions_page(values),
                           DEFINITIONS_SCRIPT);
    case SetupPage::Proxy:
      return compose_frame(compose_navigation_bar(page), run_proxy_page(values), PROXY_SCRIPT);
    case SetupPage::About:
      return compose_frame(compose_navigation_bar(page), compose_about_content(), "");
    case SetupPage::NotFound:
      break;
  }
  return std::string();
}
