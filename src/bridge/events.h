#pragma once

#include <obs-frontend-api.h>

#include <string>

namespace velmora {

class EventJson;

// Sends one event to every bridge client; any thread.
void send_event(const EventJson &event);
// The state snapshot, rebuilt from OBS; main thread only.
std::string state_json();
void send_state();
void send_obs_event(const char *type, bool with_error);
void on_bridge_frontend_event(enum obs_frontend_event event, void *data);

} // namespace velmora
