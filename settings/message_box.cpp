// The message box helper: formats into one buffer and asks the platform for
// the box, owned by the window last handed to set_message_owner.
#include "settings/message_box.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/msgbox.h"
#include "settings/activity_log.h"
#include "settings/product.h"

namespace {

// Written by the user interface thread, read by the proxy thread's fatal
// paths and by sessions.
std::atomic<HWND> message_owner{nullptr};

}  // namespace

void set_message_owner(HWND owner) {
  message_owner.store(owner);
}

void show_message(UINT type, const char* format, ...) {
  char text[MESSAGE_BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  // A longer text is cut to the buffer.
  if (std::vsnprintf(text, sizeof text, format, args) < 0) text[0] = '\0';
  va_end(args);
  MessageBoxA(message_owner.load(), text, PRODUCT_NAME, type);
}
