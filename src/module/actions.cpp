#include "module/actions.h"

#include "bridge/events.h"
#include "core/event_json.h"
#include "core/log.h"
#include "core/settings.h"
#include "overlay/overlays.h"
#include "server/local_server.h"
#include "server/websocket.h"

#include <obs.hpp>

namespace velmora {

std::string add_overlay_and_tell(const std::string &kind, const std::string &query)
{
    std::string problem = add_overlay(kind, query);
    send_event(EventJson("overlay_added")
                   .add_string("kind", kind)
                   .add_bool("ok", problem.empty())
                   .add_string("message", problem));
    return problem;
}

void reset_overlay_link()
{
    local_server().set_overlay_token(Settings::instance().reset_overlay_token());
    close_overlay_clients();
    int updated = refresh_overlay_urls();
    VELMORA_LOG(LOG_INFO, "New overlay link; %d overlay source(s) updated", updated);
    send_state();
}

bool publish_overlay_object(obs_data_t *state)
{
    obs_data_set_string(state, "event", "overlay_state");
    const char *json = obs_data_get_json(state);
    if (!json)
        return false;
    return publish_overlay_state(json);
}

} // namespace velmora
