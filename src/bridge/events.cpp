#include "bridge/events.h"

#include "bridge/bridge_setup.h"
#include "core/event_json.h"
#include "core/profile_scope.h"
#include "server/websocket.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace velmora {

namespace {

std::mutex outbox_lock;
EventOutbox outbox;
std::atomic<EventMirror> mirror{nullptr};

void send_obs_event_with(const char *type, const std::string *last_error)
{
    EventJson event("obs");
    event.add_string("type", type);
    if (last_error)
        event.add_string("lastError", *last_error);
    send_event(event);
}

} // namespace

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

void set_event_outbox(EventOutbox replacement)
{
    EventOutbox old;
    std::lock_guard guard(outbox_lock);
    old = std::exchange(outbox, std::move(replacement));
}

void set_event_mirror(EventMirror given)
{
    mirror = given;
}

std::size_t send_event_text(const std::string &text)
{
    if (EventMirror copy = mirror.load())
        copy(text);
    EventOutbox current;
    {
        std::lock_guard guard(outbox_lock);
        current = outbox;
    }
    return current ? current(text) : broadcast_bridge(text);
}

std::size_t send_event(const EventJson &event)
{
    return send_event_text(event.text());
}

void send_state()
{
    ProfileScope profile("velmora_send_state");
    if (auto build = installed_setup().state_json)
        send_event_text(build());
}

void send_obs_event(const char *type, bool with_error)
{
    if (!with_error) {
        send_obs_event_with(type, nullptr);
        return;
    }
    auto last_error = installed_setup().last_error;
    std::string text = last_error ? last_error() : std::string();
    send_obs_event_with(type, &text);
}

} // namespace velmora
