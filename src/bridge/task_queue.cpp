#include "bridge/task_queue.h"

#include "core/guard.h"

#include <obs.h>

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace velmora {

namespace {

std::atomic<bool> taking_tasks{false};
// Deferred tasks are queued to this object, so deleting it drops those still waiting: none may
// run once the module's code is gone.
QObject *deferred_context = nullptr;

std::mutex wait_lock;
std::condition_variable wait_ended;
int waiting = 0;

// One waited-for task, shared by the waiter and the task.
struct UiWaitState {
    bool started = false;
    bool finished = false;
    bool abandoned = false;
};

// Destroyed with the task, whether it ran or OBS dropped it, so a dropped task ends the wait too.
struct WaitEnd {
    explicit WaitEnd(std::shared_ptr<UiWaitState> given) : state(std::move(given)) {}
    WaitEnd(const WaitEnd &) = delete;
    WaitEnd &operator=(const WaitEnd &) = delete;
    std::shared_ptr<UiWaitState> state;
    ~WaitEnd()
    {
        std::lock_guard lock(wait_lock);
        state->finished = true;
        wait_ended.notify_all();
    }
};

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

UiWait run_ui_task_and_wait(Task task, std::chrono::milliseconds limit)
{
    if (!taking_tasks)
        return UiWait::closing;
    if (obs_in_task_thread(OBS_TASK_UI)) {
        run_guarded("A task", task);
        return UiWait::done;
    }
    // The graphics thread (a per-frame request batch) holds what the main thread may wait for.
    if (obs_in_task_thread(OBS_TASK_GRAPHICS))
        return UiWait::wrong_thread;
    auto state = std::make_shared<UiWaitState>();
    {
        std::lock_guard lock(wait_lock);
        if (waiting >= max_ui_waits)
            return UiWait::busy;
        ++waiting;
    }
    queue_ui_task([state, end = std::make_shared<WaitEnd>(state), task = std::move(task)] {
        {
            std::lock_guard lock(wait_lock);
            if (state->abandoned)
                return;
            state->started = true;
        }
        task();
    });
    std::unique_lock lock(wait_lock);
    wait_ended.wait_for(lock, limit, [&] { return state->finished || !taking_tasks; });
    // A task under way on the main thread is short; its caller gets its true outcome.
    if (state->started)
        wait_ended.wait(lock, [&] { return state->finished; });
    else
        state->abandoned = true;
    --waiting;
    if (state->started)
        return UiWait::done;
    return taking_tasks && !state->finished ? UiWait::timed_out : UiWait::closing;
}

void start_ui_tasks()
{
    taking_tasks = true;
}

void stop_ui_tasks()
{
    taking_tasks = false;
    std::lock_guard lock(wait_lock);
    wait_ended.notify_all();
}

} // namespace velmora
