#include "update/updater.h"

#include "module/guard.h"
#include "module/log.h"
#include "platform/thread.h"
#include "update/installer_handoff.h"
#include "update/update_check.h"
#include "update/update_state.h"

#include <obs-frontend-api.h>

#include <QMetaObject>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdlib>

namespace velmora {

namespace {

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

// A close the user refused (No to closing while recording) leaves OBS running: the update then
// installs at a later exit without restarting OBS unasked.
void forget_restart_unless_exiting()
{
    if (installer_handed_off())
        return;
    restarting_flag() = false;
    broadcast_update();
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
    if (!thread.start(run_updater, 512 * 1024))
        VELMORA_LOG(LOG_WARNING, "Could not start the updater; no updates this session");
}

void stop_updater()
{
    {
        std::lock_guard lock(update_lock());
        updater_stop_signal().raise();
    }
    update_wake().notify_all();
    updater_thread().join();
}

void request_update_check()
{
    {
        std::lock_guard lock(update_lock());
        check_requested() = true;
    }
    update_wake().notify_all();
}

bool restart_for_update()
{
    {
        std::lock_guard lock(update_lock());
        if (update_state().phase != "ready")
            return false;
    }
    restarting_flag() = true;
    broadcast_update();
    auto *window = static_cast<QWidget *>(obs_frontend_get_main_window());
    if (!window)
        return false;
    QMetaObject::invokeMethod(
        window,
        [window] {
            run_guarded("Closing OBS for the update", [window] {
                // OBS's exit hands the installer off before close returns; a close OBS puts off
                // (it retries while a nested event loop runs) gets a moment to happen.
                if (!window->close() && !installer_handed_off())
                    QTimer::singleShot(2000, window, [] { run_guarded("Restarting for the update", forget_restart_unless_exiting); });
            });
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace velmora
