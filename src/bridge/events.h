#pragma once

#include <obs-frontend-api.h>

#include <string>

struct obs_data;
typedef struct obs_data obs_data_t;

namespace velmora {

// Serialises an event object (not consumed) and sends it to every bridge client.
void send_event(obs_data_t *event);
// The state snapshot, rebuilt from OBS; main thread only.
std::string state_json();
void send_state();
void send_obs_event(const char *type, bool with_error);
void on_bridge_frontend_event(enum obs_frontend_event event, void *data);

} // namespace velmora
