#include "service/service_switch.h"

#include "core/log.h"
#include "core/module_handle.h"
#include "core/settings.h"
#include "service/service_record.h"

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.hpp>
#include <util/platform.h>
#include <util/util.hpp>

#include <cstring>
#include <initializer_list>
#include <utility>

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

// A scheme is case-insensitive; the prefixes are lower case.
bool starts_with_any(const std::string &text, std::initializer_list<const char *> prefixes)
{
    for (const char *prefix : prefixes) {
        std::size_t length = std::strlen(prefix);
        bool same = text.size() > length;
        for (std::size_t i = 0; same && i < length; ++i) {
            char c = text[i];
            same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == prefix[i];
        }
        if (same)
            return true;
    }
    return false;
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

void forget_service()
{
    Settings::instance().clear_previous_service();
    remove_backup_files();
}

// A record waits to be put back into another profile that still exists: replacing it would lose
// that profile's own service for good.
bool record_of_another_profile(obs_data_t *record, const std::string &target, std::string &other)
{
    other = string_setting(record, "target");
    return !other.empty() && other != target && os_file_exists(folder_of(other).c_str());
}

// Remembers which ingest is ours, so that an edit in OBS's settings keeps it ours.
void note_installed_ingest(obs_data_t *record, const char *type, const std::string &server)
{
    if (!record)
        return;
    set_installed_ingest(record, type, server);
    if (!Settings::instance().set_previous_service(record))
        VELMORA_LOG(LOG_WARNING, "Could not note the Velmora ingest in the settings");
}

ServiceResult refused(const char *log_reason, std::string message)
{
    if (log_reason)
        VELMORA_LOG(LOG_INFO, "Not switching services: %s", log_reason);
    return {false, std::move(message), {}};
}

} // namespace

bool service_type_available(const char *type)
{
    const char *id = nullptr;
    for (std::size_t i = 0; obs_enum_service_types(i, &id); ++i) {
        if (id && std::strcmp(id, type) == 0)
            return true;
    }
    return false;
}

ServiceKind current_service_kind()
{
    OBSDataAutoRelease record = Settings::instance().previous_service();
    return classify_service(obs_frontend_get_streaming_service(), record);
}

bool current_service_is_velmora()
{
    return current_service_kind() == ServiceKind::velmora;
}

std::string describe_current_service()
{
    obs_service_t *current = obs_frontend_get_streaming_service();
    return current_service_is_velmora() ? "Velmora" : describe_service(current);
}

VelmoraIngest current_velmora_ingest()
{
    VelmoraIngest ingest;
    obs_service_t *current = obs_frontend_get_streaming_service();
    if (!current_service_is_velmora())
        return ingest;
    OBSDataAutoRelease settings = obs_service_get_settings(current);
    bool whip = std::strcmp(obs_service_get_type(current), "whip_custom") == 0;
    ingest.mode = whip ? "whip" : "rtmp";
    ingest.server = string_setting(settings, "server");
    ingest.key = string_setting(settings, whip ? "bearer_token" : "key");
    return ingest;
}

void adopt_installed_ingest()
{
    OBSDataAutoRelease record = Settings::instance().previous_service();
    obs_service_t *current = obs_frontend_get_streaming_service();
    // A record from before the ingest was noted: the marked service in OBS now is the one.
    if (!record || has_installed_ingest(record) || !service_is_velmora(current, nullptr))
        return;
    OBSDataAutoRelease settings = obs_service_get_settings(current);
    note_installed_ingest(record, obs_service_get_type(current), string_setting(settings, "server"));
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

ServiceResult use_velmora_service(const std::string &mode, const std::string &url, const std::string &key,
                                  bool replace)
{
    if (url.empty() || key.empty())
        return {false, "Give the server URL and the stream key.", {}};
    bool whip = mode == "whip";
    if (whip ? !starts_with_any(url, {"https://", "http://"})
             : !starts_with_any(url, {"rtmp://", "rtmps://"}))
        return refused(whip ? "the server URL is not an http(s) address"
                            : "the server URL is not an rtmp(s) address",
                       whip ? "A WHIP endpoint URL starts with https://."
                            : "An RTMP server URL starts with rtmp:// or rtmps://.");
    if (obs_frontend_streaming_active()) {
        VELMORA_LOG(LOG_INFO, "Not switching services while OBS is streaming");
        return {false, "OBS is streaming. End the stream to change the service.", {}};
    }
    const char *type = whip ? "whip_custom" : "rtmp_custom";
    const char *secret_name = whip ? "bearer_token" : "key";
    if (!service_type_available(type))
        return refused("this OBS has no WHIP service (whip_custom)",
                       "WHIP needs OBS 30 or newer with WebRTC; use RTMP.");

    // Borrowed from the frontend; not released here.
    obs_service_t *current = obs_frontend_get_streaming_service();
    OBSDataAutoRelease record = Settings::instance().previous_service();
    std::string target = profile_service_file();
    std::string other_target;
    ServiceKind kind = classify_service(current, record);
    bool remembered = false;
    if (kind == ServiceKind::velmora) {
        if (same_service_installed(current, type, secret_name, url, key))
            return {true, "OBS streams to Velmora.", {}};
        // The record still describes what the user had before the first switch.
    } else if (record && record_of_another_profile(record, target, other_target)) {
        VELMORA_LOG(LOG_WARNING,
                    "Not switching services: the service of another profile is still to be put back (%s)",
                    other_target.c_str());
        return {false,
                "Another profile's service still waits to be put back: switch to that profile in OBS and put "
                "it back first.",
                {}};
    } else if (record && kind == ServiceKind::other) {
        // The record is the streamer's own service, never overwritten by what OBS has now; what
        // OBS has now goes only with the streamer's yes.
        std::string now = describe_service(current);
        if (!replace)
            return {false,
                    {},
                    "OBS streams to " + now + " now, not to Velmora, and “Put back” keeps " +
                        describe_service_record(record) + ". Replace " + now + " with Velmora?"};
        VELMORA_LOG(LOG_INFO, "Replacing a service the dock did not install, as the streamer confirmed");
    } else if (current && kind != ServiceKind::recorded) {
        if (!remember_service(current, target)) {
            VELMORA_LOG(
                LOG_ERROR,
                "Not switching services: the current service could not be saved to put it back later");
            return {false, "OBS kept your service: it couldn't be saved to put back later.", {}};
        }
        remembered = true;
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
        // The record this switch made would offer to put back what OBS still has.
        if (remembered)
            forget_service();
        return {false, std::string("OBS couldn't create the ") + (whip ? "WHIP" : "RTMP") + " service.", {}};
    }
    obs_frontend_set_streaming_service(service);
    obs_frontend_save_streaming_service();
    OBSDataAutoRelease stored = Settings::instance().previous_service();
    note_installed_ingest(stored, type, url);
    VELMORA_LOG(LOG_INFO, "OBS now streams to Velmora (%s)", whip ? "WHIP" : "RTMP");
    return {true, "OBS now streams to Velmora.", {}};
}

ServiceResult restore_previous_service(bool replace)
{
    if (obs_frontend_streaming_active()) {
        VELMORA_LOG(LOG_INFO, "Not putting back the previous service while OBS is streaming");
        return {false, "OBS is streaming. End the stream to put back your service.", {}};
    }
    OBSDataAutoRelease record = Settings::instance().previous_service();
    if (!record)
        return {false, "There is no service to put back.", {}};
    std::string type = string_setting(record, "type");
    std::string previous = describe_service_record(record);
    std::string target = string_setting(record, "target");
    // Only in the profile it was taken from: anything else is another profile's own.
    if (!target.empty() && target != profile_service_file()) {
        VELMORA_LOG(LOG_WARNING,
                    "Not putting back the previous %s service: it belongs to another profile (%s)",
                    type.c_str(), target.c_str());
        return {
            false, "That service belongs to another OBS profile: switch to it in OBS to put it back.", {}};
    }
    obs_service_t *current = obs_frontend_get_streaming_service();
    if (classify_service(current, record) == ServiceKind::other && !replace) {
        VELMORA_LOG(
            LOG_WARNING,
            "Not putting back the previous %s service: OBS no longer streams to Velmora in this profile",
            type.c_str());
        std::string now = describe_service(current);
        return {false,
                {},
                "OBS streams to " + now + " now, not to Velmora. Put back " + previous + " in its place?"};
    }

    OBSDataAutoRelease settings = obs_data_get_obj(record, "settings");
    OBSServiceAutoRelease service = obs_service_create(type.c_str(), "default_service", settings, nullptr);
    if (!service) {
        VELMORA_LOG(LOG_WARNING, "Could not put back the previous %s service", type.c_str());
        return {false, "OBS couldn't put back " + previous + ".", {}};
    }
    obs_frontend_set_streaming_service(service);
    obs_frontend_save_streaming_service();
    forget_service();
    VELMORA_LOG(LOG_INFO, "Put back the stream service OBS had before Velmora (%s)", type.c_str());
    return {true, "OBS streams to " + previous + " again.", {}};
}

std::string describe_previous_service()
{
    OBSDataAutoRelease record = Settings::instance().previous_service();
    return describe_service_record(record);
}

} // namespace velmora
