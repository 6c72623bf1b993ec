#include "update/update_state.h"

#include "bridge/events.h"
#include "module/module_info.h"

#include <obs.hpp>

namespace velmora {

std::string update_event_json()
{
    std::lock_guard lock(update_lock());
    const UpdateState &state = update_state();
    OBSDataAutoRelease event = obs_data_create();
    obs_data_set_string(event, "event", "update");
    obs_data_set_string(event, "current", module_version);
    obs_data_set_string(event, "phase", state.phase.c_str());
    obs_data_set_string(event, "version", state.version.c_str());
    obs_data_set_string(event, "notes", state.notes.c_str());
    obs_data_set_bool(event, "required", state.required);
    obs_data_set_string(event, "message", state.message.c_str());
    obs_data_set_int(event, "progress", state.progress);
    obs_data_set_bool(event, "restarting", restarting_flag().load());
    const char *json = obs_data_get_json(event);
    return json ? json : "";
}

void broadcast_update()
{
    send_event_text(update_event_json());
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
