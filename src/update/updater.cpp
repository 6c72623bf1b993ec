#include "update/updater.h"

#include "core/guard.h"
#include "core/log.h"
#include "core/timer_end.h"
#include "platform/thread.h"
#include "update/installer_handoff.h"
#include "update/update_check.h"
#include "update/update_state.h"

#include <obs-frontend-api.h>

#include <QApplication>
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

// Watches a restart until OBS exits or the user keeps OBS open. OBS asks before closing with
// outputs active; a close the user refuses leaves OBS running, and the update then installs at a
// later exit without restarting OBS unasked. A close OBS only puts off (it retries by itself while
// a nested event loop runs) keeps the restart, however long it takes. Main thread.
QTimer *restart_watch = nullptr;
bool question_seen = false;
constexpr int restart_watch_ms = 50;

void watch_restart()
{
    if (installer_handed_off())
        return;
    if (QApplication::activeModalWidget()) {
        question_seen = true;
        return;
    }
    if (!question_seen)
        return;
    // Answered, and OBS is still running: the close was refused.
    end_restart_watch();
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

void end_restart_watch()
{
    end_timer(restart_watch); // also from its own tick, on the refusal it saw
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
                if (!restart_watch) {
                    restart_watch = new QTimer();
                    QObject::connect(restart_watch, &QTimer::timeout,
                                     [] { run_guarded("Restarting for the update", watch_restart); });
                }
                question_seen = false;
                // Its ticks run in the question's own event loop too, so they see it asked.
                restart_watch->start(restart_watch_ms);
                // OBS's exit hands the installer off before close returns.
                window->close();
            });
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace velmora
