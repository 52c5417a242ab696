// Message boxes on a terminal, or answered from the environment when there is
// none, each optionally recorded as one JSON line for tests and logs.
#include "platform/msgbox.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/desktop.h"
#include "platform/files.h"

namespace {

std::atomic<platform::MessageBoxShower> desktop_shower{nullptr};

// One box at a time on the terminal, so that two threads' questions and
// answers do not mix.
std::mutex terminal_mutex;

// Length of the valid UTF-8 sequence at text (1 to 4), or 0 when the bytes
// there are not one.
std::size_t utf8_length(const unsigned char* text) {
  const unsigned char c = text[0];
  std::size_t length;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
  }
  if (c == 0xE0 && text[1] < 0xA0) return 0;  // overlong
  if (c == 0xED && text[1] > 0x9F) return 0;  // surrogates
  if (c == 0xF0 && text[1] < 0x90) return 0;  // overlong
  if (c == 0xF4 && text[1] > 0x8F) return 0;  // beyond U+10FFFF
  return length;
}

// Appends `text` as the contents of a JSON string. Bytes that are not UTF-8
// are taken as Latin-1, the original desktop's usual code page.
void append_json_string(std::string* out, const char* text) {
  static const char hex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    const unsigned char c = *p;
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      case '\b':
        *out += "\\b";
        break;
      case '\f':
        *out += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          *out += "\\u00";
          out->push_back(hex[c >> 4]);
          out->push_back(hex[c & 0xF]);
        } else if (c < 0x80) {
          out->push_back(static_cast<char>(c));
        } else if (const std::size_t length = utf8_length(p); length > 0) {
          out->append(reinterpret_cast<const char*>(p), length);
          p += length;
          continue;
        } else {
          *out += "\\u00";
          out->push_back(hex[c >> 4]);
          out->push_back(hex[c & 0xF]);
        }
    }
    ++p;
  }
}

const char* answer_word(int answer) {
  return answer == IDYES ? "yes" : answer == IDNO ? "no" : answer == IDCANCEL ? "cancel" : "ok";
}

void record_box(const char* caption, const char* text, UINT type, int answer) {
  const char* log = std::getenv("VELLOMAR_MSGBOX_LOG");
  if (log == nullptr || log[0] == '\0') return;
  std::string line = "{\"caption\":\"";
  append_json_string(&line, caption);
  line += "\",\"text\":\"";
  append_json_string(&line, text);
  line += "\",\"type\":" + std::to_string(type) + ",\"answer\":\"" + answer_word(answer) + "\"}\n";
  // One write on a descriptor opened for appending: lines from several
  // processes never interleave.
  const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  platform::write_whole(fd, line.data(), line.size());
  close(fd);
}

// Reads one line from the terminal into `line`; false at its end.
bool read_terminal_line(int fd, std::string* line) {
  line->clear();
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line->empty();
    if (c == '\n') return true;
    line->push_back(c);
  }
}

int ask_on_terminal(int tty, const char* caption, const char* text, bool yes_no) {
  std::lock_guard<std::mutex> lock(terminal_mutex);
  std::string shown = "\n=== ";
  shown += caption;
  shown += " ===\n";
  shown += text;
  shown += yes_no ? "\n[y/n] " : "\n[press Enter] ";
  platform::write_whole(tty, shown.data(), shown.size());
  std::string line;
  for (;;) {
    if (!read_terminal_line(tty, &line)) return yes_no ? IDNO : IDOK;
    if (!yes_no) return IDOK;
    const std::size_t start = line.find_first_not_of(" \t\r");
    const char first = start == std::string::npos ? 0 : line[start];
    if (first == 'y' || first == 'Y') return IDYES;
    if (first == 'n' || first == 'N') return IDNO;
    platform::write_whole(tty, "[y/n] ", 6);
  }
}

int answer_from_environment(const char* caption, const char* text, bool yes_no) {
  int answer = IDOK;
  if (yes_no) {
    const char* given = std::getenv("VELLOMAR_MSGBOX_ANSWER");
    const bool yes =
        given != nullptr && (strcasecmp(given, "yes") == 0 || strcasecmp(given, "y") == 0);
    answer = yes ? IDYES : IDNO;
  }
  // Shown on standard error as well, so that unattended runs leave a trace.
  std::string shown = "[";
  shown += caption;
  shown += "] ";
  shown += text;
  shown += " -> ";
  shown += answer_word(answer);
  shown += "\n";
  platform::write_whole(STDERR_FILENO, shown.data(), shown.size());
  return answer;
}

}  // namespace

int MessageBoxA(HWND /*owner*/, const char* text, const char* caption, UINT type) {
  if (text == nullptr) text = "";
  if (caption == nullptr) caption = "Error";
  const bool yes_no = (type & 0x0F) == MB_YESNO;
  // A box raised while the tray handles input from vmtray is asked at
  // vmtray's end, where the user who gave that input is.
  // (That end records the box itself.)
  int answer = platform::message_box_at_input(text, caption, type);
  if (answer != 0) return answer;
  // An answer given in the environment wins even on a terminal, so that
  // scripted runs started from one never stop to ask.
  const char* given = std::getenv("VELLOMAR_MSGBOX_ANSWER");
  const bool scripted = given != nullptr && given[0] != '\0';
  if (auto shower = desktop_shower.load(); !scripted && shower != nullptr) {
    answer = shower(text, caption, type);
    if (answer != 0) {
      record_box(caption, text, type, answer);
      return answer;
    }
  }
  const int tty = !scripted && isatty(STDIN_FILENO) ? open("/dev/tty", O_RDWR | O_CLOEXEC) : -1;
  if (tty >= 0) {
    answer = ask_on_terminal(tty, caption, text, yes_no);
    close(tty);
  } else {
    answer = answer_from_environment(caption, text, yes_no);
  }
  record_box(caption, text, type, answer);
  return answer;
}

namespace platform {
void set_message_box_shower(MessageBoxShower shower) {
  desktop_shower.store(shower);
}
}  // namespace platform
