#include "bridge/dispatch.h"

#include "bridge/events.h"
#include "bridge/bridge.h"
#include "server/websocket.h"
#include "service/service_switch.h"

#include <obs-data.h>

#include <memory>

namespace velmora {

namespace {

struct DataDeleter {
    void operator()(obs_data_t *data) const { obs_data_release(data); }
};
using DataPtr = std::unique_ptr<obs_data_t, DataDeleter>;

std::string field(obs_data_t *message, const char *name)
{
    const char *value = obs_data_get_string(message, name);
    return value ? value : "";
}

void publish_overlay(obs_data_t *message)
{
    DataPtr state(obs_data_get_obj(message, "state"));
    if (!state)
        return;
    obs_data_set_string(state.get(), "event", "overlay_state");
    const char *json = obs_data_get_json(state.get());
    if (json)
        publish_overlay_state(json);
}

} // namespace

void handle_message(const std::string &text)
{
    DataPtr message(obs_data_create_from_json(text.c_str()));
    if (!message)
        return;
    const std::string action = field(message.get(), "action");
    obs_data_t *m = message.get();

    if (action == "hello" || action == "get_state") {
        queue_bridge_task([] { send_state(); });
    } else if (action == "use_velmora") {
        queue_bridge_task([mode = field(m, "mode"), url = field(m, "url"), key = field(m, "key")] {
            use_velmora_service(mode, url, key);
            send_state();
        });
    } else if (action == "restore_service") {
        queue_bridge_task([] {
            restore_previous_service();
            send_state();
        });
    } else if (action == "start_streaming") {
        queue_bridge_task([] { start_streaming(); });
    } else if (action == "stop_streaming") {
        queue_bridge_task([] { stop_streaming(); });
    } else if (action == "overlay_publish") {
        publish_overlay(m);
    }
    // sign_in, cancel_sign_in, open_url, show_dock, overlay_add, update_check, update_restart
    // and overlay_reset arrive with the dock, overlay, sign-in and updater features.
}

} // namespace velmora
