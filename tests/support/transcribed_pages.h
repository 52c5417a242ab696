// The setup pages' markup as the browser must receive it, transcribed line
// by line (independently of the code that builds it), for the unit and the
// end-to-end tests.
#pragma once

#include <string>
#include <string_view>

namespace setup_test {

// Turns each LF of a transcribed page into CR LF, as the pages are sent.
inline std::string crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

inline const std::string FRAME_TOP = crlf(
    "<html>\n"
    "<head><title>Vellomar Setup</title></head>\n"
    "<body bgcolor=\"#008080\" leftmargin=\"0\" topmargin=\"0\" marginheight=\"0\" "
    "marginwidth=\"0\" >\n"
    "<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%\" "
    "height=\"100%\"><tr><td "
    "bgcolor=\"#008080\" valign=\"middle\" align=\"center\">\n"
    "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td bgcolor=\"#000000\">\n"
    "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\" bordercolor=\"#C0C0C0\" "
    "width=\"500\">\n"
    "<tr>\n"
    "<td align=\"left\" valign=\"top\" bgcolor=\"#000080\">\n"
    "<font face=\"arial\" size=\"2\" color=\"#FFFFFF\">\n"
    "Vellomar Setup\n"
    "</font>\n"
    "</td>\n"
    "</tr>\n"
    "<tr>\n"
    "<td align=\"left\" valign=\"top\" bgcolor=\"#C0C0C0\" nowarp>\n"
    "<font face=\"arial\" size=\"2\">\n");
inline const std::string FRAME_MIDDLE = crlf(
    "</font>\n"
    "</td>\n"
    "<tr>\n"
    "<tr><td align=\"center\" valign=\"middle\" bgcolor=\"#C0C0C0\" height=\"300\">\n");
inline const std::string FRAME_SCRIPT = crlf(
    "</td></tr></table>\n"
    "</td></tr></table>\n"
    "</td></tr></table>\n"
    "<script language=\"JavaScript\">\n"
    "<!--\n");
inline const std::string FRAME_END = crlf(
    "//-->\n"
    "</script>\n"
    "</body>\n"
    "</html>\n");

inline std::string framed(const std::string& nav, const std::string& content,
                          const std::string& script) {
  return FRAME_TOP + nav + "\r\n" + FRAME_MIDDLE + content + "\r\n" + FRAME_SCRIPT + script +
         "\r\n" + FRAME_END;
}

inline const std::string NAV_GENERAL = crlf(
    "General&nbsp;&nbsp;\n"
    "<a href=\"/definitions/\" style=\"color: #FFFFFF\">Ad Definitions</a>&nbsp;&nbsp;\n"
    "<a href=\"/proxy/\" style=\"color: #FFFFFF\">Proxy Server</a>&nbsp;&nbsp;\n"
    "<a href=\"/about/\" style=\"color: #FFFFFF\">About Vellomar</a>&nbsp;&nbsp;\n");
inline const std::string NAV_DEFINITIONS = crlf(
    "<a href=\"/\" style=\"color: #FFFFFF\">General</a>&nbsp;&nbsp;\n"
    "Ad Definitions&nbsp;&nbsp;\n"
    "<a href=\"/proxy/\" style=\"color: #FFFFFF\">Proxy Server</a>&nbsp;&nbsp;\n"
    "<a href=\"/about/\" style=\"color: #FFFFFF\">About Vellomar</a>&nbsp;&nbsp;\n");
inline const std::string NAV_PROXY = crlf(
    "<a href=\"/\" style=\"color: #FFFFFF\">General</a>&nbsp;&nbsp;\n"
    "<a href=\"/definitions/\" style=\"color: #FFFFFF\">Ad Definitions</a>&nbsp;&nbsp;\n"
    "Proxy Server&nbsp;&nbsp;\n"
    "<a href=\"/about/\" style=\"color: #FFFFFF\">About Vellomar</a>&nbsp;&nbsp;\n");
inline const std::string NAV_ABOUT = crlf(
    "<a href=\"/\" style=\"color: #FFFFFF\">General</a>&nbsp;&nbsp;\n"
    "<a href=\"/definitions/\" style=\"color: #FFFFFF\">Ad Definitions</a>&nbsp;&nbsp;\n"
    "<a href=\"/proxy/\" style=\"color: #FFFFFF\">Proxy Server</a>&nbsp;&nbsp;\n"
    "About Vellomar&nbsp;&nbsp;\n");

inline std::string general_content(const std::string& ie, const std::string& ns,
                                   const std::string& log) {
  return crlf(
      "<form method=\"get\" action=\"\" name=\"mainForm\">\n"
      "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>\n"
      "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">\n"
      "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\" colspan=\"2\">\n"
      "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">\n"
      "Vellomar's General Settings\n"
      "</font>\n"
      "</td></tr>\n"
      "<tr><td align=\"left\" valign=\"top\">\n"
      "<font face=\"verdana,arial\" size=\"2\">\n"
      "<input type=\"checkbox\" name=\"ie\" " +
      ie +
      " value=\"ie\">Work with Internet Explorer\n"
      "</font>\n"
      "</td></tr>\n"
      "<tr><td align=\"left\" valign=\"top\">\n"
      "<font face=\"verdana,arial\" size=\"2\">\n"
      "<input type=\"checkbox\" name=\"netscape\" " +
      ns +
      " value=\"netscape\">Work with Netscape\n"
      "</font>\n"
      "</td></tr>\n"
      "<tr><td align=\"left\" valign=\"top\">\n"
      "<font face=\"verdana,arial\" size=\"2\">\n"
      "<input type=\"checkbox\" name=\"log\" " +
      log +
      " value=\"log\">Enable Logging\n"
      "</font>\n"
      "</td></tr>\n"
      "<tr><td align=\"center\" valign=\"top\" colspan=\"2\">\n"
      "<font face=\"verdana,arial\" size=\"2\">\n"
      "<input type=\"submit\" name=\"save\" value=\"Save\">\n"
      "</font>\n"
      "</td></tr>\n"
      "</table>\n"
      "</table>\n"
      "</form>\n");
}

inline std::string definitions_content(const std::string& textarea_text) {
  return crlf(
             "<form method=\"get\" action=\"/definitions/\" name=\"mainForm\">\n"
             "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>\n"
             "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">\n"
             "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\">\n"
             "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">\n"
             "Vellomar's Ad Blocking Settings\n"
             "</font>\n"
             "</td></tr>\n"
             "<tr><td align=\"center\" valign=\"top\">\n"
             "<font face=\"verdana,arial\" size=\"2\">\n"
             "<textarea name=\"settings\" rows=\"10\" cols=\"55\">") +
         textarea_text +
         crlf(
             "</textarea><br>\n"
             "</font>\n"
             "</td></tr>\n"
             "<tr><td align=\"center\" valign=\"top\">\n"
             "<font color=\"#FF0000\" face=\"verdana,arial\" size=\"1\">\n"
             "<i><b>You shouldn't need t change these settings.\n"
             "Read the help file before changing.</i></b>\n"
             "</font>\n"
             "</td></tr>\n"
             "<tr><td align=\"right\" valign=\"middle\">\n"
             "<font face=\"verdana,arial\" size=\"2\">\n"
             "<center><input type=\"submit\" value=\"Save\">\n"
             "<input name=\"help\" type=\"submit\" value=\"Help\">\n"
             "</center><font size=\"1\">If the file is too big, edit with <input "
             "name=\"notepad\" type=\"submit\" value=\"NotePad\">\n"
             " then <input name=\"reload\" type=\"submit\" value=\"Reload\"></font>\n"
             "</font>\n"
             "</td></tr>\n"
             "</table>\n"
             "</td></tr></table>\n"
             "</form>\n");
}

inline std::string proxy_content(const std::string& message, const std::string& host,
                                 const std::string& port) {
  return crlf(
      "<form method=\"get\" action=\"/proxy/\" name=\"mainForm\">\n"
      "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>\n"
      "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">\n"
      "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\">\n"
      "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">\n"
      "Connect to the Internet though this Proxy Server\n"
      "</font>\n"
      "</td></tr>\n"
      "<tr><td align=\"left\" valign=\"top\">\n"
      "<font face=\"verdana,arial\" size=\"2\">" +
      message +
      "\n"
      "Host:&nbsp;<input name=\"host\" value=\"" +
      host + "\" type=\"text\" size=\"30\">&nbsp;Port:&nbsp;<input name=\"port\" value=\"" + port +
      "\" type=\"text\" size=\"5\">\n"
      "</font>\n"
      "</td></tr>\n"
      "<tr><td align=\"center\" valign=\"top\">\n"
      "<font face=\"verdana,arial\" size=\"1\" color=\"#FF0000\">\n"
      "<i>Most people will not need to use a proxy server. But if you are behind a firewall you "
      "may need one. Ask your system administrator or Internet Service Provider for the "
      "settings.</i>\n"
      "</font>\n"
      "</td></tr>\n"
      "<tr><td align=\"center\" valign=\"top\">\n"
      "<font face=\"verdana,arial\" size=\"2\">\n"
      "<input type=\"submit\" value=\"Save\">\n"
      "</font>\n"
      "</td></tr>\n"
      "</table>\n"
      "</td></tr></table>\n"
      "</form>\n");
}

inline const std::string ABOUT_CONTENT = crlf(
    "<form method=\"get\" action=\"/about/\" name=\"mainForm\">\n"
    "<table cellspacing=\"0\" cellpadding=\"0\" border=\"1\"><tr><td>\n"
    "<table cellspacing=\"0\" cellpadding=\"2\" border=\"0\">\n"
    "<tr><td align=\"left\" valign=\"top\" bgcolor=\"#000080\">\n"
    "<font face=\"verdana,arial\" size=\"2\" color=\"#FFFFFF\">\n"
    "About Vellomar\n"
    "</font>\n"
    "</td></tr>\n"
    "<tr><td align=\"center\" valign=\"top\">\n"
    "<font face=\"verdana,verdana,arial\" size=\"2\">\n"
    "Vellomar Version 1.0<br>\n"
    "</font>\n"
    "</td></tr>\n"
    "<tr><td align=\"center\" valign=\"top\">\n"
    "<font face=\"verdana,verdana,arial\" size=\"2\">\n"
    "Copyright &copy; 2026 The Vellomar developers. All rights reserved.\n"
    "</font>\n"
    "</td></tr>\n"
    "<tr><td align=\"center\" valign=\"top\">\n"
    "<font face=\"verdana,verdana,arial\" size=\"1\">\n"
    "<a href=\"http://www.vellomar.org/\">http://www.vellomar.org</a>\n"
    "</font>\n"
    "</td></tr>\n"
    "</table>\n"
    "</table>\n"
    "</form>\n");

inline const std::string OK_HEAD =
    "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
    "X-Frame-Options: DENY\r\n\r\n";

}  // namespace setup_test
