#include "update/updater.h"

#include "core/guard.h"
#include "core/log.h"
#include "platform/thread.h"
#include "update/update_check.h"
#include "update/update_state.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace velmora {

namespace {

std::atomic<bool> updater_running{false};

platform::Thread &updater_thread()
{
    static platform::Thread thread;
    return thread;
}

void run_updater()
{
    run_guarded("Checking for an update", run_check);
    platform::StopSignal &stop = updater_stop_signal();
    for (;;) {
        std::unique_lock lock(update_lock());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::hours(4);
        update_wake().wait_until(lock, deadline, [&] { return stop.raised() || check_requested(); });
        if (stop.raised())
            return;
        check_requested() = false;
        lock.unlock();
        run_guarded("Checking for an update", run_check);
    }
}

} // namespace

void start_updater()
{
    platform::Thread &thread = updater_thread();
    if (thread.joinable())
        return;
    if (std::getenv("VELMORA_OBS_TEST_UPDATE_ORIGIN"))
        VELMORA_LOG(LOG_WARNING, "Updates come from a test server this session");
    updater_stop_signal().clear();
    if (thread.start(run_updater, std::size_t{512} * 1024))
        updater_running = true;
    else
        VELMORA_LOG(LOG_WARNING, "Could not start the updater; no updates this session");
}

void stop_updater()
{
    updater_running = false;
    {
        std::lock_guard lock(update_lock());
        updater_stop_signal().raise();
    }
    update_wake().notify_all();
    updater_thread().join();
}

bool request_update_check()
{
    {
        std::lock_guard lock(update_lock());
        check_requested() = true;
    }
    update_wake().notify_all();
    return updater_running;
}

} // namespace velmora
