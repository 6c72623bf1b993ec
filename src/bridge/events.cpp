#include "bridge/events.h"

#include "bridge/bridge.h"
#include "bridge/event_json.h"
#include "module/guard.h"
#include "module/profile_scope.h"
#include "module/module_info.h"
#include "overlay/overlay_url.h"
#include "server/websocket.h"
#include "service/service_switch.h"
#include "service/stream_stats.h"

#include <obs.h>

namespace velmora {

void send_event(const EventJson &event)
{
    broadcast_bridge(event.text());
}

std::string state_json()
{
    return EventJson("state")
        .add_string("version", module_version)
        .add_string("obsVersion", obs_get_version_string())
        .add_bool("streaming", obs_frontend_streaming_active())
        .add_bool("reconnecting", stream_reconnecting())
        .add_bool("serviceIsVelmora", current_service_is_velmora())
        .add_string("previousService", describe_previous_service())
        .add_string("lastError", stream_last_error())
        .add_string("overlayChatUrl", overlay_url("chat", ""))
        .add_string("overlayCountdownUrl", overlay_url("countdown", ""))
        .text();
}

void send_state()
{
    ProfileScope profile("velmora_send_state");
    broadcast_bridge(state_json());
}

void send_obs_event(const char *type, bool with_error)
{
    EventJson event("obs");
    event.add_string("type", type);
    if (with_error)
        event.add_string("lastError", stream_last_error());
    send_event(event);
}

namespace {

void forward_frontend_event(enum obs_frontend_event event)
{
    switch (event) {
    case OBS_FRONTEND_EVENT_STREAMING_STARTING:
        watch_stream_output();
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
        // OBS still runs queued tasks while it closes; none may send a state after this.
        stop_bridge_tasks();
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
