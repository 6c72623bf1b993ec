#include "bridge/task_queue.h"

#include "module/guard.h"

#include <obs.h>

#include <memory>

namespace velmora {

namespace {

void run_ui_task(void *param)
{
    std::unique_ptr<Task> task(static_cast<Task *>(param));
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

} // namespace velmora
