#include "bridge/task_queue.h"

#include "core/guard.h"

#include <obs.h>

#include <atomic>
#include <memory>

namespace velmora {

namespace {

std::atomic<bool> taking_tasks{false};

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

void start_ui_tasks()
{
    taking_tasks = true;
}

void stop_ui_tasks()
{
    taking_tasks = false;
}

} // namespace velmora
