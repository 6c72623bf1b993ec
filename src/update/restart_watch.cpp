// A restart into the update is tied to the one close of OBS it asked for. OBS may ask the
// streamer first (outputs active) or put the close off and try it again by itself (each second
// while a nested event loop runs); both keep the restart. A close that has neither happened nor
// been tried again for a few seconds, with no dialog up, was refused, by the streamer or by another
// plug-in: the restart is forgotten, so a later exit installs the update without restarting OBS
// unasked. Main thread.
#include "update/updater.h"

#include "core/guard.h"
#include "core/log.h"
#include "update/installer_handoff.h"
#include "update/update_state.h"

#include <obs-frontend-api.h>

#include <QApplication>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>
#include <QTimerEvent>
#include <QWidget>

#include <chrono>

namespace velmora {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto refusal_wait = std::chrono::seconds(3);
constexpr int watch_interval_ms = 50;

class CloseWatch : public QObject {
  public:
    explicit CloseWatch(QWidget *window) : QObject(window) { window->installEventFilter(this); }

    void start()
    {
        last_sign = Clock::now();
        if (timer == 0)
            timer = startTimer(watch_interval_ms);
    }
    void end()
    {
        if (timer != 0)
            killTimer(timer);
        timer = 0;
        // OBS 29 may run its exit from inside this watch's own tick (its SIGINT handler).
        deleteLater();
    }

  protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Close)
            last_sign = Clock::now(); // OBS tries its close again
        return false;
    }
    void timerEvent(QTimerEvent *) override
    {
        run_guarded("Restarting for the update", [this] { tick(); });
    }

  private:
    void tick()
    {
        if (installer_handed_off())
            return; // OBS is exiting
        // Its ticks run in a question's own event loop too, so they see it asked.
        if (QApplication::activeModalWidget()) {
            last_sign = Clock::now();
            return;
        }
        if (Clock::now() - last_sign < refusal_wait)
            return;
        VELMORA_LOG(LOG_INFO, "OBS stayed open; the update installs when OBS closes, without restarting it");
        end_restart_watch();
        restarting_flag() = false;
        broadcast_update();
    }

    Clock::time_point last_sign{};
    int timer = 0;
};

QPointer<CloseWatch> watch;

} // namespace

void end_restart_watch()
{
    if (watch)
        watch->end();
    watch = nullptr;
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
                if (!watch)
                    watch = new CloseWatch(window);
                watch->start();
                // OBS's exit hands the installer off before close returns.
                window->close();
            });
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace velmora
