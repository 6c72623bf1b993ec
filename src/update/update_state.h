#pragma once

#include "platform/https.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace velmora {

// What the updater knows, shown to the dock in the "update" event.
struct UpdateState {
    // idle, checking, current, downloading, ready or failed; a packaged build: available
    std::string phase = "idle";
    std::string version;
    std::string notes;
    bool required = false;
    std::string message;
    std::int32_t progress = 0;
    std::string checksum;
    std::uint64_t size = 0;
    std::u16string installer_path; // set only on the way to "ready"
};

// The update lock guards the state and the check-requested flag; held only for copies.
std::mutex &update_lock();
std::condition_variable &update_wake();
UpdateState &update_state(); // under the update lock
bool &check_requested();     // under the update lock
UpdateState update_state_copy();

// Set at unload; ends a transfer at once.
platform::StopSignal &updater_stop_signal();
// Set when the user asked OBS to restart into the update.
std::atomic<bool> &restarting_flag();

// Sends the "update" event with the state as it is now; from any thread.
void broadcast_update();
void set_update_phase(const std::string &phase, const std::string &message);

// The check's origin and the only place installers may come from; the loopback test origin in
// VELMORA_OBS_TEST_UPDATE_ORIGIN replaces both.
std::string update_origin();
std::string download_prefix();

} // namespace velmora
