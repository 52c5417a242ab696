// The background updates of imported lists (see background_updates.h).
#include "adlists/background_updates.h"

#include <chrono>
#include <ctime>
#include <exception>
#include <thread>

#include "adlists/list_update.h"
#include "filter/rule_list.h"
#include "platform/process.h"
#include "settings/activity_log.h"

namespace adlists {
namespace {

void update_thread(void*) {
  std::this_thread::sleep_for(std::chrono::seconds(FIRST_UPDATE_DELAY_SECONDS));
  for (;;) {
    try {
      update_expired_lists();
    } catch (const std::exception&) {
      // Nothing of a failed look may end the program; the next look retries.
      log_activity("ERROR:\t*****Updating the ad lists failed*****");
    }
    std::this_thread::sleep_for(std::chrono::seconds(UPDATE_CHECK_INTERVAL_SECONDS));
  }
}

}  // namespace

int update_expired_lists() {
  std::time_t now = std::time(nullptr);
  int changed = 0;
  for (const ListInfo& info : installed_lists()) {
    if (!is_web_address(info.source) || !list_expired(info, now)) continue;
    ListChange change = update_list(info, SourceOptions{}, now);
    if (change.changed) ++changed;
  }
  if (changed > 0) rebuild_ad_definitions();
  return changed;
}

bool start_background_list_updates() {
  fetch_init();
  return start_thread(update_thread, nullptr) == 0;
}

}  // namespace adlists
