#include "server/obs_websocket_api.h"

#include <obs.h>

#if __has_include(<obs-websocket-api.h>)
#include <cassert> // the header asserts without including it
#include <obs-websocket-api.h>
#else
// OBS 29's SDK ships no obs-websocket header, while its obs-websocket 5.1 answers the same procs:
// the calls the module uses, as that header makes them.
namespace {

using obs_websocket_vendor = void *;

struct obs_websocket_request_callback {
    velmora::VendorRequestCallback callback;
    void *priv_data;
};

proc_handler_t *websocket_procs = nullptr;

bool obs_websocket_ensure_ph()
{
    if (!websocket_procs) {
        calldata_t data{};
        if (proc_handler_call(obs_get_proc_handler(), "obs_websocket_api_get_ph", &data))
            websocket_procs = static_cast<proc_handler_t *>(calldata_ptr(&data, "ph"));
        calldata_free(&data);
    }
    return websocket_procs != nullptr;
}

bool run_vendor_proc(obs_websocket_vendor vendor, const char *name, calldata_t *data)
{
    if (!obs_websocket_ensure_ph() || !vendor)
        return false;
    calldata_set_ptr(data, "vendor", vendor);
    proc_handler_call(websocket_procs, name, data);
    return calldata_bool(data, "success");
}

obs_websocket_vendor obs_websocket_register_vendor(const char *name)
{
    if (!obs_websocket_ensure_ph())
        return nullptr;
    calldata_t data{};
    calldata_set_string(&data, "name", name);
    proc_handler_call(websocket_procs, "vendor_register", &data);
    obs_websocket_vendor vendor = calldata_ptr(&data, "vendor");
    calldata_free(&data);
    return vendor;
}

bool obs_websocket_vendor_register_request(obs_websocket_vendor vendor, const char *type,
                                           velmora::VendorRequestCallback callback, void *priv)
{
    obs_websocket_request_callback request{callback, priv};
    calldata_t data{};
    calldata_set_string(&data, "type", type);
    calldata_set_ptr(&data, "callback", &request);
    bool done = run_vendor_proc(vendor, "vendor_request_register", &data);
    calldata_free(&data);
    return done;
}

bool obs_websocket_vendor_unregister_request(obs_websocket_vendor vendor, const char *type)
{
    calldata_t data{};
    calldata_set_string(&data, "type", type);
    bool done = run_vendor_proc(vendor, "vendor_request_unregister", &data);
    calldata_free(&data);
    return done;
}

bool obs_websocket_vendor_emit_event(obs_websocket_vendor vendor, const char *type, obs_data_t *event)
{
    calldata_t data{};
    calldata_set_string(&data, "type", type);
    calldata_set_ptr(&data, "data", event);
    bool done = run_vendor_proc(vendor, "vendor_event_emit", &data);
    calldata_free(&data);
    return done;
}

} // namespace
#endif

namespace velmora {

VendorRegistration register_websocket_vendor(const char *name)
{
    VendorRegistration registration;
    registration.websocket_there = obs_websocket_ensure_ph();
    if (registration.websocket_there)
        registration.vendor = obs_websocket_register_vendor(name);
    return registration;
}

bool add_vendor_request(void *vendor, const char *type, VendorRequestCallback callback, void *data)
{
    return obs_websocket_vendor_register_request(vendor, type, callback, data);
}

bool remove_vendor_request(void *vendor, const char *type)
{
    return obs_websocket_vendor_unregister_request(vendor, type);
}

bool emit_vendor_event(void *vendor, const char *type, obs_data_t *data)
{
    return obs_websocket_vendor_emit_event(vendor, type, data);
}

} // namespace velmora
