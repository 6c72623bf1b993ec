#pragma once

#include <obs-frontend-api.h>

#include <functional>
#include <span>
#include <string>
#include <string_view>

struct obs_data;
typedef struct obs_data obs_data_t;

namespace velmora {

// Where an action's handler runs: on the connection thread that received the message (work that
// touches only the module's own locked state), or on OBS's main thread.
enum class ActionThread { connection, main };

// One action of the dock's protocol. A row without a handler names an action whose feature is
// not built yet: the message is accepted and nothing happens.
struct Action {
    std::string_view name;
    ActionThread thread;
    void (*run)(obs_data_t *message);
};

// What the bridge needs from the features above it; start-up fills it in.
struct BridgeSetup {
    std::span<const Action> actions;
    // The state snapshot's text; main thread.
    std::string (*state_json)() = nullptr;
    // The streaming output's last error text, for "streaming_stopped"; main thread.
    std::string (*last_error)() = nullptr;
    // Every 2000 ms on the main thread while the bridge runs.
    void (*stats_tick)() = nullptr;
};

// Installs the bridge handlers on the local server, the bridge's OBS event handler, the
// statistics timer and the bridge's worker; main thread, once the server holds a port. At OBS's
// EXIT event the handler, the timer and queued main-thread tasks end.
void bridge_init(const BridgeSetup &setup);
// Ends the worker (and the timer, if OBS never sent EXIT); at unload, when the frontend may be
// gone. The server stops right after.
void bridge_shutdown();

// The bridge's OBS event handler, which bridge_init registers: tells the docks about streaming,
// profile and exit events, and at EXIT ends the bridge's main-thread work and removes itself.
void bridge_frontend_event(enum obs_frontend_event event, void *data);

// Builds an event on the bridge's worker thread and sends it from there, so the main thread
// pays only for handing the work over. Dropped when the bridge is not running.
void send_event_from_worker(std::function<std::string()> build);

} // namespace velmora
