#include "bridge/bridge.h"

#include "bridge/dispatch.h"
#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "module/guard.h"
#include "server/local_server.h"
#include "service/stream_stats.h"

#include <obs-frontend-api.h>

#include <QTimer>

#include <atomic>

namespace velmora {

namespace {

constexpr int stats_interval_ms = 2000;
QTimer *stats_timer = nullptr;
std::atomic<bool> running{false};

} // namespace

void queue_bridge_task(std::function<void()> task)
{
    queue_ui_task([task = std::move(task)] {
        if (running)
            task();
    });
}

void stop_bridge_tasks()
{
    running = false;
}

void bridge_init()
{
    running = true;
    LocalServer &server = local_server();
    server.set_bridge_handlers([](const std::string &text) { handle_message(text); },
                               [] { queue_bridge_task([] { send_state(); }); });
    obs_frontend_add_event_callback(on_bridge_frontend_event, nullptr);

    stats_timer = new QTimer();
    QObject::connect(stats_timer, &QTimer::timeout,
                     [] { run_guarded("Sending stream statistics", stats_tick); });
    stats_timer->start(stats_interval_ms);
}

void bridge_shutdown()
{
    running = false;
    obs_frontend_remove_event_callback(on_bridge_frontend_event, nullptr);
    unwatch_stream_output();
    if (stats_timer) {
        stats_timer->stop();
        delete stats_timer;
        stats_timer = nullptr;
    }
}

} // namespace velmora
