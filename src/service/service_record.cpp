#include "service/service_record.h"

#include <obs.hpp>

#include <cstring>

namespace velmora {

namespace {

constexpr const char *marker_setting = "velmora_obs";
// What says where a service sends the stream; the rest (timeouts, auth flags) may differ.
constexpr const char *destination_settings[] = {"service", "server", "key", "bearer_token"};

std::string string_setting(obs_data_t *settings, const char *name)
{
    const char *value = settings ? obs_data_get_string(settings, name) : nullptr;
    return value ? value : "";
}

bool is_custom_type(const char *type)
{
    return type && (std::strcmp(type, "rtmp_custom") == 0 || std::strcmp(type, "whip_custom") == 0);
}

std::string describe(const std::string &type, obs_data_t *settings)
{
    if (type == "rtmp_common") {
        std::string platform = string_setting(settings, "service");
        return platform.empty() ? "your old service" : platform;
    }
    if (type == "rtmp_custom")
        return "your custom server";
    if (type == "whip_custom")
        return "your WHIP server";
    return "your old service";
}

bool same_destination(obs_service_t *service, obs_data_t *record)
{
    OBSDataAutoRelease recorded = obs_data_get_obj(record, "settings");
    OBSDataAutoRelease live = obs_service_get_settings(service);
    if (string_setting(record, "type") != obs_service_get_type(service))
        return false;
    for (const char *name : destination_settings) {
        if (string_setting(recorded, name) != string_setting(live, name))
            return false;
    }
    return true;
}

} // namespace

const char *service_kind_name(ServiceKind kind)
{
    switch (kind) {
    case ServiceKind::velmora:
        return "velmora";
    case ServiceKind::recorded:
        return "recorded";
    case ServiceKind::other:
        return "other";
    case ServiceKind::none:
        break;
    }
    return "none";
}

bool service_is_velmora(obs_service_t *service, obs_data_t *record)
{
    if (!service || !is_custom_type(obs_service_get_type(service)))
        return false;
    OBSDataAutoRelease settings = obs_service_get_settings(service);
    if (obs_data_get_bool(settings, marker_setting))
        return true;
    OBSDataAutoRelease installed = record ? obs_data_get_obj(record, "installed") : nullptr;
    std::string server = string_setting(installed, "server");
    return !server.empty() && string_setting(installed, "type") == obs_service_get_type(service) &&
           server == string_setting(settings, "server");
}

ServiceKind classify_service(obs_service_t *service, obs_data_t *record)
{
    if (!service)
        return ServiceKind::none;
    if (service_is_velmora(service, record))
        return ServiceKind::velmora;
    if (record && same_destination(service, record))
        return ServiceKind::recorded;
    return ServiceKind::other;
}

void set_installed_ingest(obs_data_t *record, const char *type, const std::string &server)
{
    OBSDataAutoRelease installed = obs_data_create();
    obs_data_set_string(installed, "type", type);
    obs_data_set_string(installed, "server", server.c_str());
    obs_data_set_obj(record, "installed", installed);
}

bool has_installed_ingest(obs_data_t *record)
{
    OBSDataAutoRelease installed = record ? obs_data_get_obj(record, "installed") : nullptr;
    return !string_setting(installed, "server").empty();
}

std::string describe_service(obs_service_t *service)
{
    if (!service)
        return {};
    OBSDataAutoRelease settings = obs_service_get_settings(service);
    return describe(obs_service_get_type(service), settings);
}

std::string describe_service_record(obs_data_t *record)
{
    if (!record)
        return {};
    OBSDataAutoRelease settings = obs_data_get_obj(record, "settings");
    return describe(string_setting(record, "type"), settings);
}

} // namespace velmora
