// Whole bridge messages through the module's real dispatch and action table, each on a thread
// with a connection thread's stack (deep JSON must not exhaust it), and the work they queue run
// as OBS's main thread would run it. OBS's core is started once; run under an X display.
#include "bridge/dispatch.h"
#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "module/dock_protocol.h"
#include "platform/thread.h"

#include <obs.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex lock;
std::vector<std::pair<obs_task_t, void *>> queued;

void queue_task(obs_task_t task, void *param, bool)
{
    std::lock_guard guard(lock);
    queued.emplace_back(task, param);
}

void discard_log(int, const char *, va_list, void *) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    base_set_log_handler(discard_log, nullptr);
    if (!obs_startup("en-US", nullptr, nullptr))
        std::abort();
    obs_set_ui_task_handler(queue_task);
    velmora::set_event_outbox([](const std::string &) { return std::size_t{1}; });
    velmora::start_ui_tasks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    velmora::platform::Thread connection;
    if (!connection.start([&text] { velmora::dispatch_message(text, velmora::dock_protocol().actions); },
                          512 * 1024))
        return 0;
    connection.join();
    std::vector<std::pair<obs_task_t, void *>> tasks;
    {
        std::lock_guard guard(lock);
        tasks.swap(queued);
    }
    for (auto &[task, param] : tasks)
        task(param);
    return 0;
}
