#include "module/vendor_requests.h"

#include "module/actions.h"
#include "module/dock_protocol.h"
#include "bridge/events.h"
#include "core/json_depth.h"
#include "dock/dock_panel.h"
#include "server/websocket.h"
#include "service/service_switch.h"
#include "update/updater.h"

#include <obs.hpp>

#include <cstring>
#include <mutex>

namespace velmora {

namespace {

std::string string_field(obs_data_t *request, const char *name)
{
    const char *value = obs_data_get_string(request, name);
    return value ? value : "";
}

// The docks get the state after a service action, as after the dock's own.
VendorAnswer from(const ServiceResult &result)
{
    send_state();
    return {result.ok, result.message, result.confirm, {}};
}

VendorAnswer done(std::string message)
{
    return {true, std::move(message), {}, {}};
}

VendorAnswer answer_get_state(obs_data_t *)
{
    return {true, {}, {}, state_json()};
}

VendorAnswer answer_use_velmora(obs_data_t *request)
{
    std::string mode = string_field(request, "mode");
    if (mode != "rtmp" && mode != "whip")
        return refusal("Unknown mode \"" + mode + "\": use \"rtmp\" or \"whip\".");
    return from(use_velmora_service(mode, string_field(request, "url"), string_field(request, "key"),
                                    obs_data_get_bool(request, "replace")));
}

VendorAnswer answer_restore_service(obs_data_t *request)
{
    return from(restore_previous_service(obs_data_get_bool(request, "replace")));
}

VendorAnswer answer_show_dock(obs_data_t *)
{
    return dock_show() ? done("The Velmora dock is shown.")
                       : refusal("OBS has no Velmora dock this session.");
}

VendorAnswer answer_publish_overlay(obs_data_t *request)
{
    OBSDataAutoRelease given = obs_data_get_obj(request, "state");
    // Members left out keep what was published last, so a countdown button leaves the chat alone;
    // the lock keeps two clients from each dropping the other's member.
    static std::mutex publish_lock;
    std::lock_guard lock(publish_lock);
    std::string last = last_overlay_state();
    OBSDataAutoRelease state = last.empty() ? nullptr : obs_data_create_from_json(last.c_str());
    if (!state)
        state = obs_data_create();
    obs_data_apply(state, given);
    // Kept, and sent to every overlay page now and later: bounded as a bridge message is, in size
    // and in nesting (obs-websocket takes far larger messages than the bridge).
    const char *json = obs_data_get_json(state);
    if (!json || std::strlen(json) > max_message_bytes)
        return refusal("\"state\" is too large: 1 MiB at most.");
    if (!json_nesting_within(json))
        return refusal("\"state\" is nested too deeply.");
    if (!publish_overlay_object(state))
        return refusal("Velmora's server isn't running, so no overlay got it.");
    return done("The overlays show it.");
}

VendorAnswer answer_add_overlay(obs_data_t *request)
{
    std::string problem = add_overlay_and_tell(string_field(request, "kind"), string_field(request, "query"));
    return problem.empty() ? done("The overlay is in the scene.") : refusal(problem);
}

VendorAnswer answer_reset_overlay(obs_data_t *)
{
    reset_overlay_link();
    return done("Every overlay has a new link.");
}

VendorAnswer answer_check_for_update(obs_data_t *)
{
    return request_update_check() ? done("Checking for an update.")
                                  : refusal("Velmora's updater isn't running, so no update check was made.");
}

using enum ActionThread;
using enum FieldType;

constexpr VendorField use_velmora_fields[] = {
    {"mode", text, true}, {"url", text, true}, {"key", text, true}, {"replace", flag, false}};
constexpr VendorField restore_fields[] = {{"replace", flag, false}};
constexpr VendorField publish_fields[] = {{"state", object, true}};
constexpr VendorField add_overlay_fields[] = {{"kind", text, true}, {"query", text, false}};

// Each request on the thread its bridge action uses.
constexpr VendorRequest requests[] = {
    {"GetState", main, {}, answer_get_state},
    {"UseVelmora", main, use_velmora_fields, answer_use_velmora},
    {"RestoreService", main, restore_fields, answer_restore_service},
    {"ShowDock", main, {}, answer_show_dock},
    {"PublishOverlay", connection, publish_fields, answer_publish_overlay},
    {"AddOverlay", main, add_overlay_fields, answer_add_overlay},
    {"ResetOverlayLink", main, {}, answer_reset_overlay},
    {"CheckForUpdate", connection, {}, answer_check_for_update},
};

constexpr VendorEvent events[] = {
    {"state", "StateChanged", true},
    {"stats", "Stats", false},
    {"overlay_added", "OverlayAdded", false},
    {"update", "UpdateChanged", true},
};

// The stream key, and the overlay links, which carry the overlay token.
constexpr std::string_view secrets[] = {"serviceKey", "overlayChatUrl", "overlayCountdownUrl"};

} // namespace

VendorSetup vendor_protocol()
{
    return {requests, events, secrets};
}

} // namespace velmora
