#include "service/service_switch.h"

#include "core/log.h"
#include "core/module_handle.h"
#include "core/settings.h"

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.hpp>
#include <util/platform.h>
#include <util/util.hpp>

#include <cstring>

namespace velmora {

namespace {

constexpr const char *service_name = "velmora_service";
constexpr const char *marker_setting = "velmora_obs";
constexpr const char *backup_files[] = {"restore-service.json", "restore-target.txt"};

std::string config_file(const char *name)
{
    obs_module_t *module = module_handle();
    BPtr<char> path = module ? obs_module_get_config_path(module, name) : nullptr;
    return path ? path.Get() : "";
}

std::string string_setting(obs_data_t *settings, const char *name)
{
    const char *value = settings ? obs_data_get_string(settings, name) : nullptr;
    return value ? value : "";
}

bool is_custom_type(const char *type)
{
    return type && (std::strcmp(type, "rtmp_custom") == 0 || std::strcmp(type, "whip_custom") == 0);
}

// The current profile's service file, which OBS writes when the streaming service is saved;
// empty when OBS has no profile folder.
std::string profile_service_file()
{
    BPtr<char> profile = obs_frontend_get_current_profile_path();
    return profile && *profile ? std::string(profile.Get()) + "/service.json" : std::string();
}

std::string folder_of(const std::string &file)
{
    std::size_t slash = file.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

// Our service with exactly these values is installed already.
bool same_service_installed(obs_service_t *service, const char *type, const char *secret_name,
                            const std::string &url, const std::string &key)
{
    OBSDataAutoRelease settings = obs_service_get_settings(service);
    return std::strcmp(obs_service_get_type(service), type) == 0 &&
           string_setting(settings, "server") == url && string_setting(settings, secret_name) == key;
}

void remove_backup_files()
{
    for (const char *name : backup_files) {
        std::string file = config_file(name);
        if (!file.empty())
            os_unlink(file.c_str());
    }
}

// Stores the record of the user's service and its backup files; false, with nothing stored,
// when either could not be written.
bool remember_service(obs_service_t *service, const std::string &target)
{
    // A copy, so the stored record shares nothing with the live service's settings.
    OBSDataAutoRelease live = obs_service_get_settings(service);
    const char *json = obs_data_get_json(live);
    OBSDataAutoRelease settings = json ? obs_data_create_from_json(json) : obs_data_create();
    OBSDataAutoRelease record = obs_data_create();
    obs_data_set_string(record, "type", obs_service_get_type(service));
    obs_data_set_obj(record, "settings", settings);
    if (!save_service_backup(record)) {
        remove_backup_files();
        return false;
    }
    // The record also names the profile it belongs to, so it is never put back into another.
    obs_data_set_string(record, "target", target.c_str());
    if (!Settings::instance().set_previous_service(record)) {
        remove_backup_files();
        return false;
    }
    return true;
}

// A record waits to be put back into another profile that still exists: replacing it would lose
// that profile's own service for good.
bool record_of_another_profile(const std::string &target, std::string &other)
{
    OBSDataAutoRelease record = Settings::instance().previous_service();
    other = string_setting(record, "target");
    return !other.empty() && other != target && os_file_exists(folder_of(other).c_str());
}

} // namespace

bool service_is_velmora(obs_service_t *service)
{
    if (!service || !is_custom_type(obs_service_get_type(service)))
        return false;
    OBSDataAutoRelease settings = obs_service_get_settings(service);
    return obs_data_get_bool(settings, marker_setting);
}

bool current_service_is_velmora()
{
    return service_is_velmora(obs_frontend_get_streaming_service());
}

bool save_service_backup(obs_data_t *record)
{
    std::string target = profile_service_file();
    if (target.empty())
        return true; // no profile folder: nothing to name, and not a reason to refuse the switch
    std::string record_file = config_file("restore-service.json");
    std::string target_file = config_file("restore-target.txt");
    if (record_file.empty() || target_file.empty())
        return true;
    return obs_data_save_json_safe(record, record_file.c_str(), "tmp", nullptr) &&
           os_quick_write_utf8_file_safe(target_file.c_str(), target.c_str(), target.size(), false, "tmp",
                                         nullptr);
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
        std::string target = profile_service_file();
        std::string other;
        if (record_of_another_profile(target, other)) {
            VELMORA_LOG(LOG_WARNING,
                        "Not switching services: the service of another profile is still to be put back (%s)",
                        other.c_str());
            return;
        }
        if (!remember_service(current, target)) {
            VELMORA_LOG(LOG_ERROR, "Not switching services: the current service could not be saved to put it "
                                   "back later");
            return;
        }
    }

    OBSDataAutoRelease settings = obs_data_create();
    obs_data_set_string(settings, "server", url.c_str());
    if (whip) {
        obs_data_set_string(settings, "bearer_token", key.c_str());
    } else {
        obs_data_set_string(settings, "key", key.c_str());
        obs_data_set_bool(settings, "use_auth", false);
    }
    obs_data_set_bool(settings, marker_setting, true);
    OBSServiceAutoRelease service = obs_service_create(type, service_name, settings, nullptr);
    if (!service) {
        VELMORA_LOG(LOG_ERROR, "OBS could not create the %s service", type);
        return;
    }
    obs_frontend_set_streaming_service(service);
    obs_frontend_save_streaming_service();
    VELMORA_LOG(LOG_INFO, "OBS now streams to Velmora (%s)", whip ? "WHIP" : "RTMP");
}

void restore_previous_service()
{
    if (obs_frontend_streaming_active())
        return;
    OBSDataAutoRelease record = Settings::instance().previous_service();
    if (!record)
        return;
    std::string type = string_setting(record, "type");
    // Only the service the switch installed is replaced, and only in the profile it was
    // installed in: anything else is the user's own and would be lost.
    if (!current_service_is_velmora()) {
        VELMORA_LOG(LOG_WARNING,
                    "Not putting back the previous %s service: OBS no longer streams to Velmora "
                    "in this profile",
                    type.c_str());
        return;
    }
    std::string target = string_setting(record, "target");
    if (!target.empty() && target != profile_service_file()) {
        VELMORA_LOG(LOG_WARNING,
                    "Not putting back the previous %s service: it belongs to another profile (%s)",
                    type.c_str(), target.c_str());
        return;
    }

    OBSDataAutoRelease settings = obs_data_get_obj(record, "settings");
    OBSServiceAutoRelease service = obs_service_create(type.c_str(), "default_service", settings, nullptr);
    if (!service) {
        VELMORA_LOG(LOG_WARNING, "Could not put back the previous %s service", type.c_str());
        return;
    }
    obs_frontend_set_streaming_service(service);
    obs_frontend_save_streaming_service();
    Settings::instance().clear_previous_service();
    remove_backup_files();
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
        OBSDataAutoRelease settings = obs_data_get_obj(record, "settings");
        std::string platform = string_setting(settings, "service");
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
    OBSDataAutoRelease record = Settings::instance().previous_service();
    return describe_service_record(record);
}

} // namespace velmora
