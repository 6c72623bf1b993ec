#pragma once

#include <obs-frontend-api.h>

#include <functional>
#include <string>

namespace velmora {

class EventJson;

// Every bridge event leaves through the outbox: by default to every bridge client. Tests put
// their own outbox in to read what the features sent. It answers how many docks took the event.
using EventOutbox = std::function<std::size_t(const std::string &text)>;
void set_event_outbox(EventOutbox outbox);

// Every event sent is also handed to the mirror, when one is set (obs-websocket's vendor events);
// any thread. The mirror must not send events itself.
using EventMirror = void (*)(const std::string &text);
void set_event_mirror(EventMirror mirror);

// Sends one event to every bridge client; any thread. Returns how many took it.
std::size_t send_event(const EventJson &event);
std::size_t send_event_text(const std::string &text);
// The state snapshot, rebuilt from OBS; main thread only.
void send_state();
void send_obs_event(const char *type, bool with_error);
// Tells the docks about OBS's streaming, profile and exit events; main thread.
void forward_frontend_event(enum obs_frontend_event event);

} // namespace velmora
