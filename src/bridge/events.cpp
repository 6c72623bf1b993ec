#include "bridge/events.h"

#include "module/guard.h"
#include "module/module_info.h"
#include "overlay/overlay_url.h"
#include "server/websocket.h"
#include "service/service_switch.h"
#include "service/stream_stats.h"

#include <obs-data.h>
#include <obs.h>

namespace velmora {

namespace {

std::string to_json(obs_data_t *event)
{
    const char *json = obs_data_get_json(event);
    return json ? json : "";
}

} // namespace

void send_event(obs_data_t *event)
{
    broadcast_bridge(to_json(event));
}

std::string state_json()
{
    obs_data_t *state = obs_data_create();
    obs_data_set_string(state, "event", "state");
    obs_data_set_string(state, "version", module_version);
    obs_data_set_string(state, "obsVersion", obs_get_version_string());
    obs_data_set_bool(state, "streaming", obs_frontend_streaming_active());
    obs_data_set_bool(state, "reconnecting", stream_reconnecting());
    obs_data_set_bool(state, "serviceIsVelmora", current_service_is_velmora());
    obs_data_set_string(state, "previousService", describe_previous_service().c_str());
    obs_data_set_string(state, "lastError", stream_last_error().c_str());
    obs_data_set_string(state, "overlayChatUrl", overlay_url("chat", "").c_str());
    obs_data_set_string(state, "overlayCountdownUrl", overlay_url("countdown", "").c_str());
    std::string json = to_json(state);
    obs_data_release(state);
    return json;
}

void send_state()
{
    broadcast_bridge(state_json());
}

void send_obs_event(const char *type, bool with_error)
{
    obs_data_t *event = obs_data_create();
    obs_data_set_string(event, "event", "obs");
    obs_data_set_string(event, "type", type);
    if (with_error)
        obs_data_set_string(event, "lastError", stream_last_error().c_str());
    send_event(event);
    obs_data_release(event);
}

namespace {

void forward_frontend_event(enum obs_frontend_event event)
{
    switch (event) {
    case OBS_FRONTEND_EVENT_STREAMING_STARTING:
        send_obs_event("streaming_starting", false);
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STARTED:
        send_obs_event("streaming_started", false);
        send_state();
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STOPPING:
        send_obs_event("streaming_stopping", false);
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
        send_obs_event("streaming_stopped", true);
        send_state();
        break;
    case OBS_FRONTEND_EVENT_PROFILE_CHANGED:
        send_obs_event("profile_changed", false);
        send_state();
        break;
    case OBS_FRONTEND_EVENT_EXIT:
        send_obs_event("exit", false);
        break;
    default:
        break;
    }
}

} // namespace

void on_bridge_frontend_event(enum obs_frontend_event event, void *)
{
    run_guarded("Telling the docks about an OBS event", [event] { forward_frontend_event(event); });
}

} // namespace velmora
