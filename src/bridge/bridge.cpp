#include "bridge/bridge.h"

#include "bridge/bridge_setup.h"
#include "bridge/dispatch.h"
#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "core/guard.h"
#include "core/timer_end.h"
#include "platform/thread.h"
#include "server/local_server.h"

#include <obs-frontend-api.h>
#include <util/task.h>

#include <QTimer>

#include <memory>
#include <mutex>

namespace velmora {

namespace {

constexpr int stats_interval_ms = 2000;

BridgeSetup setup;
QTimer *stats_timer = nullptr;

// The worker that builds and sends events for the main thread. Created and destroyed on the
// main thread; tasks are queued from there only.
os_task_queue_t *worker = nullptr;

void run_worker_task(void *param)
{
    std::unique_ptr<std::function<std::string()>> build(static_cast<std::function<std::string()> *>(param));
    run_guarded("Sending an event", [&] { send_event_text((*build)()); });
}

} // namespace

void bridge_frontend_event(enum obs_frontend_event event, void *)
{
    run_guarded("Telling the docks about an OBS event", [event] { forward_frontend_event(event); });
    if (event != OBS_FRONTEND_EVENT_EXIT)
        return;
    // OBS is closing: from here on nothing of the bridge's may reach OBS's frontend, which goes
    // away while OBS still runs events (OBS 32 even clears its callbacks before modules unload).
    // Removing only itself is safe inside OBS's loop over its callbacks.
    stop_ui_tasks();
    end_timer(stats_timer);
    obs_frontend_remove_event_callback(bridge_frontend_event, nullptr);
}

const BridgeSetup &installed_setup()
{
    return setup;
}

void bridge_init(const BridgeSetup &given)
{
    setup = given;
    start_ui_tasks();
    worker = os_task_queue_create();
    os_task_queue_queue_task(
        worker, [](void *) { platform::lower_current_thread_priority(); }, nullptr);
    LocalServer &server = local_server();
    server.set_bridge_handlers([](const std::string &text) { handle_message(text); },
                               [] { queue_ui_task([] { send_state(); }); });
    obs_frontend_add_event_callback(bridge_frontend_event, nullptr);

    stats_timer = new QTimer();
    QObject::connect(stats_timer, &QTimer::timeout, [] {
        if (setup.stats_tick)
            run_guarded("Sending stream statistics", setup.stats_tick);
    });
    stats_timer->start(stats_interval_ms);
}

void bridge_shutdown()
{
    stop_ui_tasks();
    drop_deferred_ui_tasks();
    // Ended at EXIT already, unless OBS never got that far.
    delete stats_timer;
    stats_timer = nullptr;
    // Runs what is queued, then joins its thread.
    if (worker) {
        os_task_queue_destroy(worker);
        worker = nullptr;
    }
}

void send_event_from_worker(std::function<std::string()> build)
{
    if (!worker)
        return;
    auto *task = new (std::nothrow) std::function<std::string()>(std::move(build));
    if (task && !os_task_queue_queue_task(worker, run_worker_task, task))
        delete task;
}

void handle_message(const std::string &text)
{
    dispatch_message(text, setup.actions);
}

} // namespace velmora
