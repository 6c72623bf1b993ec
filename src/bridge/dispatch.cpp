#include "bridge/dispatch.h"

#include "bridge/task_queue.h"
#include "core/json_depth.h"

#include <obs.hpp>

namespace velmora {

void dispatch_message(const std::string &text, std::span<const Action> actions)
{
    // Nesting is bounded before the parser sees the text: parsing a message, and writing it
    // back for the overlays, recurse once per level on a connection thread's small stack.
    if (!json_nesting_within(text))
        return;
    OBSDataAutoRelease message = obs_data_create_from_json(text.c_str());
    if (!message)
        return;
    const char *name = obs_data_get_string(message, "action");
    std::string_view action = name ? name : "";
    for (const Action &row : actions) {
        if (row.name != action)
            continue;
        if (!row.run)
            return; // a feature still to be built
        if (row.thread == ActionThread::connection) {
            row.run(message);
        } else {
            // The parsed message goes with the task; nothing else holds it once we return.
            queue_ui_task([run = row.run, held = OBSData(message.Get())] { run(held); });
        }
        return;
    }
}

} // namespace velmora
