#pragma once

#include <chrono>
#include <functional>

namespace velmora {

using Task = std::function<void()>;

// The one hand-over of work to OBS's main thread; it never waits. The task must own copies of
// everything it uses. It runs at most once, and only while the bridge takes tasks: OBS still
// runs queued tasks while it closes, and none may touch a frontend that is going away.
void queue_ui_task(Task task);

// On the main thread only: runs the task once the event being handled now is over (OBS runs UI
// tasks queued from its main thread at once). Dropped by drop_deferred_ui_tasks, at unload.
void defer_ui_task(Task task);
void drop_deferred_ui_tasks();
// For a thread of another module that must answer with the result (obs-websocket's): runs the
// task on OBS's main thread and waits for it to start at most limit, never while OBS closes, then
// for it to end. A task that has not started when the wait ends never runs, so "not done" always
// means nothing happened.
enum class UiWait { done, closing, busy, timed_out, wrong_thread };
UiWait run_ui_task_and_wait(Task task, std::chrono::milliseconds limit);
// How many threads may wait at once; more are answered busy. Few: obs-websocket's own requests
// need its pool's threads too.
inline constexpr int max_ui_waits = 2;

// Queued tasks run from start_ui_tasks on and are dropped once stop_ui_tasks was called, which
// also ends every wait.
void start_ui_tasks();
void stop_ui_tasks();

} // namespace velmora
