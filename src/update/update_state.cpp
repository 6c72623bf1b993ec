#include "update/update_state.h"

#include "bridge/events.h"
#include "module/module_info.h"
#include "module/build_constants.h"

#include <obs.hpp>

#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

const char *test_origin()
{
    const char *origin = std::getenv("VELMORA_OBS_TEST_UPDATE_ORIGIN");
    return origin && std::strncmp(origin, "http://127.0.0.1:", 17) == 0 ? origin : nullptr;
}

} // namespace

std::mutex &update_lock()
{
    static std::mutex lock;
    return lock;
}

std::condition_variable &update_wake()
{
    static std::condition_variable wake;
    return wake;
}

UpdateState &update_state()
{
    static UpdateState state;
    return state;
}

bool &check_requested()
{
    static bool requested = false;
    return requested;
}

UpdateState update_state_copy()
{
    std::lock_guard lock(update_lock());
    return update_state();
}

platform::StopSignal &updater_stop_signal()
{
    static platform::StopSignal stop;
    return stop;
}

std::atomic<bool> &restarting_flag()
{
    static std::atomic<bool> restarting{false};
    return restarting;
}

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

std::string update_origin()
{
    const char *origin = test_origin();
    return origin ? origin : constants::api_origin;
}

std::string download_prefix()
{
    const char *origin = test_origin();
    return std::string(origin ? origin : constants::download_prefix) + "/builds/velmora-obs-plugin/windows/";
}

} // namespace velmora
