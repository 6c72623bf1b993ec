#pragma once

#include "bridge/bridge.h"

#include <span>
#include <string>
#include <string_view>

struct obs_data;
typedef struct obs_data obs_data_t;

namespace velmora {

// The module's requests and events for obs-websocket's clients (stream decks, scripts), under the
// vendor name "velmora": requests through CallVendorRequest, events as VendorEvent.

enum class FieldType { text, flag, object };

// One field of a request's requestData; a request is refused, changing nothing, when a required
// field is missing or any given one has another type.
struct VendorField {
    const char *name;
    FieldType type;
    bool required;
};

// What a request answers: whether it worked and, when not, why, in the dock's words. state is a
// JSON object's text, for the request that reads the state.
struct VendorAnswer {
    bool ok = true;
    std::string message;
    std::string confirm;
    std::string state;
};

// One request: its name, the thread its bridge action uses, its fields and its handler.
struct VendorRequest {
    const char *name;
    ActionThread thread;
    std::span<const VendorField> fields;
    VendorAnswer (*run)(obs_data_t *request);
};

// A bridge event that obs-websocket's clients get too, under another name. With only_changes, the
// same text twice in a row goes out once.
struct VendorEvent {
    std::string_view bridge_event;
    const char *name;
    bool only_changes;
};

struct VendorSetup {
    std::span<const VendorRequest> requests;
    std::span<const VendorEvent> events;
    // Members no answer or event may carry (keys, tokens, URLs holding tokens).
    std::span<const std::string_view> secrets;
};

// Registers the vendor and its requests once all modules are loaded; main thread. Without
// obs-websocket, or when it refuses, logs one line and leaves everything else as it was.
void vendor_init(const VendorSetup &setup);
// At OBS's EXIT, while obs-websocket is still loaded: requests are refused and unregistered, and
// events stop.
void vendor_exit();
// At unload: waits briefly for requests still being answered on obs-websocket's threads.
void vendor_shutdown();

// An answer that says why nothing was done.
VendorAnswer refusal(std::string message);

// Removes the setup's secret members from an object.
void drop_secrets(obs_data_t *object);

} // namespace velmora
