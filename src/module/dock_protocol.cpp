#include "module/dock_protocol.h"

#include "module/actions.h"

#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "dock/dock_panel.h"
#include "dock/link_opener.h"
#include "core/event_json.h"
#include "core/log.h"
#include "core/module_info.h"
#include "core/settings.h"
#include "overlay/overlays.h"
#include "server/local_server.h"
#include "server/websocket.h"
#include "service/service_switch.h"
#include "service/stream_control.h"
#include "service/stream_stats.h"
#include "service/stream_watch.h"
#include "signin/sign_in.h"
#include "update/update_state.h"
#include "update/updater.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

namespace velmora {

namespace {

std::string field(obs_data_t *message, const char *name)
{
    const char *value = obs_data_get_string(message, name);
    return value ? value : "";
}

void reply_with_state(obs_data_t *)
{
    queue_ui_task([] { send_state(); });
    broadcast_update();
}

void check_for_update(obs_data_t *)
{
    request_update_check();
}

void restart_into_update(obs_data_t *)
{
    if (!obs_frontend_streaming_active())
        restart_for_update();
}

// What became of an action, for every dock: each shows it beside the control that asked.
void send_result(const char *action, const ServiceResult &result)
{
    send_event(EventJson("action_result")
                   .add_string("action", action)
                   .add_bool("ok", result.ok)
                   .add_string("message", result.message)
                   .add_string("confirm", result.confirm));
}

void use_velmora(obs_data_t *message)
{
    send_result("use_velmora",
                use_velmora_service(field(message, "mode"), field(message, "url"), field(message, "key"),
                                    obs_data_get_bool(message, "replace")));
    send_state();
}

void restore_service(obs_data_t *message)
{
    send_result("restore_service", restore_previous_service(obs_data_get_bool(message, "replace")));
    send_state();
}

void start_stream(obs_data_t *message)
{
    send_result("start_streaming", start_streaming(obs_data_get_bool(message, "confirmed")));
}

void stop_stream(obs_data_t *message)
{
    send_result("stop_streaming", stop_streaming(obs_data_get_bool(message, "confirmed")));
}

void sign_in(obs_data_t *message)
{
    std::string url = start_sign_in(local_server(), field(message, "provider"));
    queue_ui_task([url] { send_event(EventJson("sign_in_opened").add_bool("ok", open_link(url))); });
}

void forget_sign_in(obs_data_t *)
{
    cancel_sign_in(local_server());
}

void open_url(obs_data_t *message)
{
    open_link(field(message, "url"));
}

void show_dock(obs_data_t *)
{
    dock_show();
}

void add_overlay_source(obs_data_t *message)
{
    add_overlay_and_tell(field(message, "kind"), field(message, "query"));
}

void new_overlay_link(obs_data_t *)
{
    reset_overlay_link();
}

void publish_to_overlays(obs_data_t *message)
{
    OBSDataAutoRelease state = obs_data_get_obj(message, "state");
    if (state)
        publish_overlay_object(state);
}

using enum ActionThread;

// Every action of the protocol, in the order the dock's documentation lists them.
constexpr Action actions[] = {
    {"hello", connection, reply_with_state},
    {"get_state", connection, reply_with_state},
    {"sign_in", connection, sign_in},
    {"cancel_sign_in", connection, forget_sign_in},
    {"open_url", main, open_url},
    {"use_velmora", main, use_velmora},
    {"restore_service", main, restore_service},
    {"start_streaming", main, start_stream},
    {"stop_streaming", main, stop_stream},
    {"show_dock", main, show_dock},
    {"overlay_publish", connection, publish_to_overlays},
    {"overlay_add", main, add_overlay_source},
    {"update_check", connection, check_for_update},
    {"update_restart", main, restart_into_update},
    {"overlay_reset", main, new_overlay_link},
};

} // namespace

std::string state_json()
{
    ServiceKind kind = current_service_kind();
    VelmoraIngest ingest = current_velmora_ingest();
    return EventJson("state")
        .add_string("version", module_version)
        .add_string("obsVersion", obs_get_version_string())
        .add_bool("streaming", obs_frontend_streaming_active())
        .add_bool("reconnecting", stream_reconnecting())
        .add_bool("serviceIsVelmora", kind == ServiceKind::velmora)
        .add_string("previousService", describe_previous_service())
        .add_string("lastError", stream_last_error())
        .add_string("overlayChatUrl", overlay_url("chat", ""))
        .add_string("overlayCountdownUrl", overlay_url("countdown", ""))
        .add_string("serviceState", service_kind_name(kind))
        .add_string("serviceName", describe_current_service())
        .add_string("serviceMode", ingest.mode)
        .add_string("serviceServer", ingest.server)
        .add_string("serviceKey", ingest.key)
        .add_bool("whipAvailable", service_type_available("whip_custom"))
        .add_bool("browserSources", browser_sources_available())
        .add_bool("connecting", stream_connecting())
        .add_bool("confirmStart", obs_confirms_stream(true))
        .add_bool("confirmStop", obs_confirms_stream(false))
        .text();
}

BridgeSetup dock_protocol()
{
    BridgeSetup setup;
    setup.actions = actions;
    setup.state_json = state_json;
    setup.last_error = stream_stop_error;
    setup.stats_tick = stats_tick;
    return setup;
}

} // namespace velmora
