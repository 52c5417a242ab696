// The answers the proxy gives by itself. Every byte here reaches browsers
// exactly as written, so the texts are spelled out line by line with their
// line ends; note that some answers end their lines in CR LF and others in
// LF alone.
#include "proxy/canned_responses.h"

#include <array>
#include <cstring>

#include "text/text_helpers.h"

namespace {

constexpr char kBlockedImageHeader[] =
    "HTTP/1.1 200 OK\r\n"
    "Date: Tue, 09 Mar 1999 22:33:13 GMT\r\n"
    "Server: Vellomar\r\n"
    "Last-Modified: Tue, 09 Mar 1999 22:32:44 GMT\r\n"
    "ETag: \"550e8-28-36e5a18c\"\r\n"
    "Content-Length: 54\r\n"
    "Accept-Ranges: bytes\r\n"
    "Content-Type: image/gif\r\n"
    "\r\n";

// An 8 by 8 GIF whose every pixel is transparent.
constexpr unsigned char kBlockedImage[] = {
    'G',  'I',  'F',  '8',  '9',  'a',         // signature and version
    0x08, 0x00,                                // logical screen width: 8
    0x08, 0x00,                                // logical screen height: 8
    0x91,                                      // global colour table of 4 entries
    0xFF,                                      // background colour index
    0x00,                                      // pixel aspect ratio: none given
    0xFF, 0xFF, 0xFF,                          // colour 0: white
    0x00, 0x00, 0x00,                          // colour 1: black
    0xC0, 0xC0, 0xC0,                          // colour 2: silver (the transparent one)
    0x00, 0x00, 0x00,                          // colour 3: black
    0x21, 0xF9, 0x04,                          // graphic control extension, 4 bytes
    0x01,                                      // flags: a transparent colour is given
    0x00, 0x00,                                // delay: none
    0x02,                                      // transparent colour index: 2
    0x00,                                      // block end
    0x2C,                                      // image descriptor
    0x00, 0x00, 0x00, 0x00,                    // left and top: 0, 0
    0x08, 0x00, 0x08, 0x00,                    // width and height: 8 by 8
    0x40,                                      // interlaced, no local colour table
    0x02,                                      // LZW minimum code size
    0x07,                                      // one data block of 7 bytes
    0x94, 0x8F, 0xA9, 0xCB, 0xED, 0x5D, 0x00,  // the image data
    0x00,                                      // block end
    0x3B,                                      // trailer
};

constexpr char kBlockedTunnelPage[] =
    "HTTP/1.0 503 Connect failed\r\n"
    "Content-Type: text/html\r\n"
    "\r\n"
    "<HTML><HEAD><TITLE>Connect failed</TITLE>\r\n"
    "</HEAD><BODY>\r\n"
    "<!--Vellomar thinks this is an Ad-->\r\n"
    "&nbsp;</BODY>\r\n"
    "</HTML>\r\n";

constexpr char kCloseWindowPage[] =
    "HTTP/1.0 503 Connect failed\n"
    "Content-Type: text/html\n"
    "\n"
    "<HTML>\n"
    "<script language=javascript>\n"
    "<!--\n"
    "function goaway() {\n"
    "window.close();\n"
    "}\n"
    "//-->\n"
    "</script>\n"
    "<HEAD><TITLE></TITLE></HEAD>\n"
    "<BODY onload='goaway()'>\n"
    "</BODY>\n"
    "</HTML>\n";

constexpr char kReloadPage[] =
    "<HTML>\n"
    "<HEAD><TITLE>Blocked Sites Reloaded</TITLE></HEAD>\r\n"
    "<BODY>\r\n"
    "<H1>Vellomar.ini has been reloaded.</H1>\r\n"
    "<BR><BR><BR><a href=\"javascript:history.back(1)\">Back</a>\r\n"
    "</BODY></HTML>\r\n"
    "\r\n";

// Composed at compile time around HOME_PAGE_ADDRESS. Constant data, never
// destroyed: sessions may still be sending it while the process exits.
constexpr std::string_view kTunnelParts[] = {"HTTP/1.0 200 Connection established\n",
                                             "Proxy-Agent: Vellomar (", HOME_PAGE_ADDRESS, ")\n",
                                             "\n"};

constexpr std::size_t tunnel_reply_size() {
  std::size_t size = 0;
  for (std::string_view part : kTunnelParts) size += part.size();
  return size;
}

constexpr std::array<char, tunnel_reply_size()> compose_tunnel_reply() {
  std::array<char, tunnel_reply_size()> reply{};
  std::size_t at = 0;
  for (std::string_view part : kTunnelParts) {
    for (char c : part) reply[at++] = c;
  }
  return reply;
}

constexpr std::array<char, tunnel_reply_size()> kTunnelEstablished = compose_tunnel_reply();

constexpr char kFailureHead[] =
    "HTTP/1.0 503 Server temporarily unavailable\r\n"
    "Server: Vellomar/0.1\r\n"
    "\r\n"
    "<HTML>\r\n"
    "<HEAD><TITLE>Message From Vellomar</TITLE></HEAD>\r\n"
    "<BODY><CENTER>\r\n"
    "<table cellpadding=\"0\" cellspacing=\"0\" border=\"1\">\r\n"
    "<tr><td align=\"center\" valign=\"top\">\r\n"
    "<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\">\r\n"
    "<tr><td align=\"center\" valign=\"top\" bgcolor=\"#FF0000\" nowrap>\r\n"
    "<font face=\"arial\" size=\"3\" color=\"#FFFFFF\">\r\n"
    "Connect Failed\r\n"
    "</font>\r\n"
    "</td></tr>\r\n"
    "<tr><td align=\"center\" valign=\"top\">\r\n"
    "<font face=\"arial\" size=\"3\">\r\n"
    "<br>Vellomar was unable to connect to \"";
// The host name stands here.
constexpr char kFailureAfterHost[] =
    "\"\r\n"
    "</font>\r\n"
    "</td></tr>\r\n"
    "<tr><td align=\"center\" valign=\"top\">\r\n"
    "<font face=\"arial\" size=\"3\">\r\n"
    "<br><b>\r\n";

constexpr char kFailureSeparator[] =
    "\r\n"
    "<br><br></b>\r\n"
    "</font>\r\n"
    "</td></tr>\r\n"
    "<tr><td align=\"center\" valign=\"top\">\r\n"
    "<font face=\"arial\" size=\"2\">\r\n";

constexpr char kFailureTrailer[] =
    "\r\n"
    "<br><br><a href=\"javascript:location.reload()\">Try again</a>.\r\n"
    "</font>\r\n"
    "</td></tr>\r\n"
    "</table>\r\n"
    "</td></tr>\r\n"
    "</table>\r\n"
    "</CENTER></BODY></HTML>\r\n";

struct FailureReason {
  int code;
  const char* title;
  const char* explanation;
};

constexpr FailureReason kFailureReasons[] = {
    {10049, "The address is invalid.",
     "The name of the server could not be resolved by your nameserver. The name may have been "
     "typed incorrectly or there may be a nameserver problem."},
    {10050, "The network subsystem failed.",
     "Your computer's TCP/IP protocol failed. Make sure it is properly configured and you are "
     "able to connect to the internet."},
    {10051, "The network is unreachable.",
     "There is a network problem between your computer and the server that you are trying to "
     "reach. Make sure you are connected to the internet."},
    {10060, "Connection timed out.",
     "The server didn't response within the time limit. It is either busy or there is a network "
     "problem."},
    {10061, "The connection was refused.",
     "The server you are trying to access refused the connection. The server is responding but "
     "it is not running a web server. Either it is the wrong computer or it's web server has "
     "crashed."},
    {10065, "Host Unreachable.",
     "There is either a network problem or the server is on a network that can't be reached "
     "from your computer."},
};
constexpr FailureReason kUnknownReason = {
    0, "Reason Unknown", "The connection to this server failed for an unknown reason."};

// Appends to a fixed buffer, keeping one byte for the terminating zero;
// whatever does not fit is dropped.
struct PageWriter {
  char* out;
  std::size_t capacity;
  std::size_t length = 0;

  std::size_t room() const { return capacity - 1 - length; }
  void append(const char* text, std::size_t size) {
    if (size > room()) size = room();
    std::memcpy(out + length, text, size);
    length += size;
  }
  void append(const char* text) { append(text, std::strlen(text)); }
};

}  // namespace

// The header and the image as one run of bytes, so that the answer leaves in
// one send: one segment, and one wake-up of the browser instead of two.
constexpr auto kBlockedImageAnswer = [] {
  std::array<char, sizeof kBlockedImageHeader - 1 + sizeof kBlockedImage> whole{};
  std::size_t at = 0;
  for (std::size_t i = 0; i + 1 < sizeof kBlockedImageHeader; ++i) {
    whole[at++] = kBlockedImageHeader[i];
  }
  for (const unsigned char byte : kBlockedImage) whole[at++] = static_cast<char>(byte);
  return whole;
}();

const std::string_view BLOCKED_IMAGE_HEADER(kBlockedImageHeader, sizeof kBlockedImageHeader - 1);
const std::string_view BLOCKED_IMAGE(reinterpret_cast<const char*>(kBlockedImage),
                                     sizeof kBlockedImage);
const std::string_view BLOCKED_IMAGE_ANSWER(kBlockedImageAnswer.data(), kBlockedImageAnswer.size());
const std::string_view BLOCKED_TUNNEL_PAGE(kBlockedTunnelPage, sizeof kBlockedTunnelPage - 1);
const std::string_view CLOSE_WINDOW_PAGE(kCloseWindowPage, sizeof kCloseWindowPage - 1);
const std::string_view RELOAD_PAGE(kReloadPage, sizeof kReloadPage - 1);
const std::string_view TUNNEL_ESTABLISHED(kTunnelEstablished.data(), kTunnelEstablished.size());

std::size_t compose_connect_failure_page(char* out, std::size_t capacity, const char* host,
                                         int error_code) {
  if (capacity == 0) return 0;
  const FailureReason* reason = &kUnknownReason;
  for (const FailureReason& known : kFailureReasons) {
    if (known.code == error_code) reason = &known;
  }
  const std::size_t fixed = std::strlen(kFailureHead) + std::strlen(kFailureAfterHost) +
                            std::strlen(reason->title) + std::strlen(kFailureSeparator) +
                            std::strlen(reason->explanation) + std::strlen(kFailureTrailer);

  PageWriter page{out, capacity};
  page.append(kFailureHead);
  // The host gets what room the rest of the page leaves; it is shortened by
  // whole characters (an escape is never split) so the page stays complete.
  const std::size_t host_room = capacity - 1 > fixed ? capacity - 1 - fixed : 0;
  std::size_t host_used = 0;
  for (const char* c = host; c != nullptr && *c != '\0'; ++c) {
    const char* escaped = html_escape_of(*c, true);
    const std::size_t size = escaped != nullptr ? std::strlen(escaped) : 1;
    if (host_used + size > host_room) break;
    page.append(escaped != nullptr ? escaped : c, size);
    host_used += size;
  }
  page.append(kFailureAfterHost);
  page.append(reason->title);
  page.append(kFailureSeparator);
  page.append(reason->explanation);
  page.append(kFailureTrailer);
  out[page.length] = '\0';
  return page.length;
}
