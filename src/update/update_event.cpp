#include "update/update_state.h"

#include "bridge/events.h"
#include "core/event_json.h"
#include "core/module_info.h"

#include <obs.hpp>

namespace velmora {

namespace {

std::string update_event_json(const UpdateState &state)
{
    return EventJson("update")
        .add_string("current", module_version)
        .add_string("phase", state.phase)
        .add_string("version", state.version)
        .add_string("notes", state.notes)
        .add_bool("required", state.required)
        .add_string("message", state.message)
        .add_int("progress", state.progress)
        .add_bool("restarting", restarting_flag().load())
        .text();
}

} // namespace

void broadcast_update()
{
    // Built and sent under the lock (a send never waits for a dock), so docks get the update events
    // in the order the state changed: an answer to hello never lands after a newer phase.
    std::lock_guard lock(update_lock());
    send_event_text(update_event_json(update_state()));
}

void set_update_phase(const std::string &phase, const std::string &message)
{
    {
        std::lock_guard lock(update_lock());
        update_state().phase = phase;
        update_state().message = message;
    }
    broadcast_update();
}

} // namespace velmora
