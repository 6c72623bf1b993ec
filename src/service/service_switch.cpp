#include "service/service_switch.h"

#include "module/log.h"
#include "module/module_handle.h"
#include "module/settings.h"

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.h>
#include <util/bmem.h>
#include <util/platform.h>

#include <cstring>

namespace velmora {

namespace {

constexpr const char *service_name = "velmora_service";
constexpr const char *marker_setting = "velmora_obs";

std::string take_obs_string(char *text)
{
    std::string copy = text ? text : "";
    bfree(text);
    return copy;
}

std::string config_file(const char *name)
{
    obs_module_t *module = module_handle();
    return module ? take_obs_string(obs_module_get_config_path(module, name)) : std::string();
}

std::string string_setting(obs_data_t *settings, const char *name)
{
    const char *value = obs_data_get_string(settings, name);
    return value ? value : "";
}

bool is_custom_type(const char *type)
{
    return type && (std::strcmp(type, "rtmp_custom") == 0 || std::strcmp(type, "whip_custom") == 0);
}

// Our service with exactly these values is installed already.
bool same_service_installed(obs_service_t *service, const char *type, const char *secret_name,
                            const std::string &url, const std::string &key)
{
    obs_data_t *settings = obs_service_get_settings(service);
    bool same = std::strcmp(obs_service_get_type(service), type) == 0 &&
                string_setting(settings, "server") == url && string_setting(settings, secret_name) == key;
    obs_data_release(settings);
    return same;
}

void remember_service(obs_service_t *service)
{
    // A copy, so the stored record shares nothing with the live service's settings.
    obs_data_t *live = obs_service_get_settings(service);
    const char *json = obs_data_get_json(live);
    obs_data_t *settings = json ? obs_data_create_from_json(json) : obs_data_create();
    obs_data_release(live);
    obs_data_t *record = obs_data_create();
    obs_data_set_string(record, "type", obs_service_get_type(service));
    obs_data_set_obj(record, "settings", settings);
    Settings::instance().set_previous_service(record);
    save_service_backup(record);
    obs_data_release(record);
    obs_data_release(settings);
}

} // namespace

bool service_is_velmora(obs_service_t *service)
{
    if (!service || !is_custom_type(obs_service_get_type(service)))
        return false;
    obs_data_t *settings = obs_service_get_settings(service);
    bool marked = obs_data_get_bool(settings, marker_setting);
    obs_data_release(settings);
    return marked;
}

bool current_service_is_velmora()
{
    return service_is_velmora(obs_frontend_get_streaming_service());
}

void save_service_backup(obs_data_t *record)
{
    std::string profile = take_obs_string(obs_frontend_get_current_profile_path());
    if (profile.empty())
        return;
    std::string target = profile + "/service.json";
    std::string record_file = config_file("restore-service.json");
    std::string target_file = config_file("restore-target.txt");
    if (record_file.empty() || target_file.empty())
        return;
    obs_data_save_json_safe(record, record_file.c_str(), "tmp", nullptr);
    os_quick_write_utf8_file_safe(target_file.c_str(), target.c_str(), target.size(), false, "tmp", nullptr);
}

void use_velmora_service(const std::string &mode, const std::string &url, const std::string &key)
{
    if (url.empty() || key.empty())
        return;
    if (obs_frontend_streaming_active()) {
        VELMORA_LOG(LOG_INFO, "Not switching services while OBS is streaming");
        return;
    }
    bool whip = mode == "whip";
    const char *type = whip ? "whip_custom" : "rtmp_custom";
    const char *secret_name = whip ? "bearer_token" : "key";

    // Borrowed from the frontend; not released here.
    obs_service_t *current = obs_frontend_get_streaming_service();
    if (service_is_velmora(current)) {
        if (same_service_installed(current, type, secret_name, url, key))
            return;
        // The record still describes what the user had before the first switch.
    } else if (current) {
        remember_service(current);
    }

    obs_data_t *settings = obs_data_create();
    obs_data_set_string(settings, "server", url.c_str());
    if (whip) {
        obs_data_set_string(settings, "bearer_token", key.c_str());
    } else {
        obs_data_set_string(settings, "key", key.c_str());
        obs_data_set_bool(settings, "use_auth", false);
    }
    obs_data_set_bool(settings, marker_setting, true);
    obs_service_t *service = obs_service_create(type, service_name, settings, nullptr);
    obs_data_release(settings);

    if (!service) {
        VELMORA_LOG(LOG_ERROR, "OBS could not create the %s service", type);
        return;
    }
    obs_frontend_set_streaming_service(service);
    obs_frontend_save_streaming_service();
    VELMORA_LOG(LOG_INFO, "OBS now streams to Velmora (%s)", whip ? "WHIP" : "RTMP");
    obs_service_release(service);
}

void restore_previous_service()
{
    if (obs_frontend_streaming_active())
        return;
    obs_data_t *record = Settings::instance().previous_service();
    if (!record)
        return;
    std::string type = string_setting(record, "type");
    obs_data_t *settings = obs_data_get_obj(record, "settings");
    obs_service_t *service = obs_service_create(type.c_str(), "default_service", settings, nullptr);
    obs_data_release(settings);
    obs_data_release(record);

    if (!service) {
        VELMORA_LOG(LOG_WARNING, "Could not put back the previous %s service", type.c_str());
        return;
    }
    obs_frontend_set_streaming_service(service);
    obs_frontend_save_streaming_service();
    obs_service_release(service);
    Settings::instance().clear_previous_service();
    for (const char *name : {"restore-service.json", "restore-target.txt"}) {
        std::string file = config_file(name);
        if (!file.empty())
            os_unlink(file.c_str());
    }
    VELMORA_LOG(LOG_INFO, "Put back the stream service OBS had before Velmora (%s)", type.c_str());
}

void start_streaming()
{
    if (!obs_frontend_streaming_active())
        obs_frontend_streaming_start();
}

void stop_streaming()
{
    if (obs_frontend_streaming_active())
        obs_frontend_streaming_stop();
}

std::string describe_service_record(obs_data_t *record)
{
    if (!record)
        return {};
    std::string type = string_setting(record, "type");
    if (type == "rtmp_common") {
        obs_data_t *settings = obs_data_get_obj(record, "settings");
        std::string platform = settings ? string_setting(settings, "service") : std::string();
        obs_data_release(settings);
        return platform.empty() ? "your old service" : platform;
    }
    if (type == "rtmp_custom")
        return "your custom server";
    if (type == "whip_custom")
        return "your WHIP server";
    return "your old service";
}

std::string describe_previous_service()
{
    obs_data_t *record = Settings::instance().previous_service();
    std::string description = describe_service_record(record);
    obs_data_release(record);
    return description;
}

} // namespace velmora
