// The activity log.
//
// An entry is formatted whole into one buffer and written with one call on an
// unbuffered text-mode stream opened for appending, so that each entry
// reaches the file in one write: entries of different threads and processes
// follow each other but do not split each other.
#include "settings/activity_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "settings/registry_settings.h"

namespace {

constexpr char LOG_FILE_NAME[] = "vellomar.log";
constexpr std::size_t LOG_STAMP_LENGTH = 24;

std::time_t system_time() {
  return std::time(nullptr);
}

}  // namespace

std::time_t (*log_clock)() = system_time;

void format_log_time(std::time_t when, char out[25]) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local;
  if (localtime_r(&when, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 ||
      local.tm_mon < 0 || local.tm_mon > 11) {
    std::memcpy(out, "??? ??? 00 00:00:00 0000", LOG_STAMP_LENGTH + 1);
    return;
  }
  // A year past 9999 would not fit the 24 characters; the stamp is cut.
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%s %s %02d %02d:%02d:%02d %04d", days[local.tm_wday],
                months[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                local.tm_year + 1900);
  std::memcpy(out, stamp, LOG_STAMP_LENGTH);
  out[LOG_STAMP_LENGTH] = '\0';
}

namespace {

// Appends one entry: the stamp, ": ", the message (cut to
// MESSAGE_BUFFER_SIZE - 1 bytes) and a line end, in one write.
void write_entry(const char* format, va_list args) {
  char line[LOG_STAMP_LENGTH + 2 + MESSAGE_BUFFER_SIZE];
  format_log_time(log_clock(), line);
  line[LOG_STAMP_LENGTH] = ':';
  line[LOG_STAMP_LENGTH + 1] = ' ';
  char* message = line + LOG_STAMP_LENGTH + 2;
  const int formatted = std::vsnprintf(message, MESSAGE_BUFFER_SIZE, format, args);
  std::size_t length = formatted < 0 ? 0 : static_cast<std::size_t>(formatted);
  if (length > MESSAGE_BUFFER_SIZE - 1) length = MESSAGE_BUFFER_SIZE - 1;
  message[length] = '\n';
  const std::size_t total = LOG_STAMP_LENGTH + 2 + length + 1;

  FILE* file = open_file(LOG_FILE_NAME, "a");
  if (file == nullptr) return;
  setvbuf(file, nullptr, _IONBF, 0);
  std::fwrite(line, 1, total, file);
  std::fclose(file);
}

void write_entry(const char* format, ...) __attribute__((format(printf, 1, 2)));
void write_entry(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_entry(format, args);
  va_end(args);
}

}  // namespace

void log_activity(const char* format, ...) {
  if (!log_enabled()) return;
  va_list args;
  va_start(args, format);
  write_entry(format, args);
  va_end(args);
}

void log_registry_damage(const std::string& message) {
  write_entry("ERROR:\t*****Registry Damaged***** %s", message.c_str());
}
