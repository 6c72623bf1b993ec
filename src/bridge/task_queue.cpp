#include "bridge/task_queue.h"

#include "core/guard.h"

#include <obs.h>

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <memory>

namespace velmora {

namespace {

std::atomic<bool> taking_tasks{false};
// Deferred tasks are queued to this object, so deleting it drops those still waiting: none may
// run once the module's code is gone.
QObject *deferred_context = nullptr;

void run_ui_task(void *param)
{
    std::unique_ptr<Task> task(static_cast<Task *>(param));
    if (taking_tasks)
        run_guarded("A queued task", [&] { (*task)(); });
}

} // namespace

void queue_ui_task(Task task)
{
    auto *queued = new (std::nothrow) Task(std::move(task));
    if (!queued)
        return;
    obs_queue_task(OBS_TASK_UI, run_ui_task, queued, false);
}

void defer_ui_task(Task task)
{
    if (!deferred_context)
        deferred_context = new QObject();
    QMetaObject::invokeMethod(
        deferred_context,
        [task = std::move(task)] {
            if (taking_tasks)
                run_guarded("A deferred task", task);
        },
        Qt::QueuedConnection);
}

void drop_deferred_ui_tasks()
{
    delete deferred_context;
    deferred_context = nullptr;
}

void start_ui_tasks()
{
    taking_tasks = true;
}

void stop_ui_tasks()
{
    taking_tasks = false;
}

} // namespace velmora
