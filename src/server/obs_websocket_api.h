#pragma once

struct obs_data;
typedef struct obs_data obs_data_t;

namespace velmora {

// obs-websocket's vendor interface, reached through the proc handler it adds to OBS's. Callable
// only while obs-websocket is loaded: from the module's post-load until OBS's EXIT.
using VendorRequestCallback = void (*)(obs_data_t *request, obs_data_t *response, void *data);

struct VendorRegistration {
    void *vendor = nullptr;       // null when obs-websocket refused or is not there
    bool websocket_there = false; // obs-websocket answered at all
};
VendorRegistration register_websocket_vendor(const char *name);
bool add_vendor_request(void *vendor, const char *type, VendorRequestCallback callback, void *data);
bool remove_vendor_request(void *vendor, const char *type);
// Sends the event to obs-websocket's clients subscribed to vendor events; data is not released.
bool emit_vendor_event(void *vendor, const char *type, obs_data_t *data);

} // namespace velmora
