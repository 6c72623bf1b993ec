#include "core/settings.h"

#include "core/log.h"
#include "core/module_handle.h"
#include "core/tokens.h"

#include <obs-module.h>
#include <obs.hpp>
#include <util/platform.h>
#include <util/util.hpp>

namespace velmora {

namespace {

constexpr std::size_t overlay_token_bytes = 32;
constexpr std::size_t overlay_token_length = 2 * overlay_token_bytes;

} // namespace

Settings &Settings::instance()
{
    static Settings settings;
    return settings;
}

Settings::~Settings()
{
    close();
}

void Settings::load()
{
    std::string file_path;
    if (obs_module_t *module = module_handle()) {
        BPtr<char> folder = obs_module_get_config_path(module, "");
        if (folder)
            os_mkdirs(folder);
        BPtr<char> file = obs_module_get_config_path(module, "config.json");
        if (file)
            file_path = file.Get();
    }
    load_file(file_path);
}

void Settings::load_file(const std::string &file_path)
{
    OBSDataAutoRelease loaded =
        file_path.empty() ? nullptr : obs_data_create_from_json_file_safe(file_path.c_str(), "bak");
    if (!loaded)
        loaded = obs_data_create();
    // The object it replaces is released as loaded goes, outside the lock.
    std::lock_guard lock(mutex);
    std::swap(data, loaded);
    path = file_path;
}

void Settings::close()
{
    OBSDataAutoRelease old;
    std::lock_guard lock(mutex);
    std::swap(data, old);
    path.clear();
}

bool Settings::save()
{
    std::string failed_path;
    {
        std::lock_guard lock(mutex);
        if (path.empty() || !data)
            return true; // nothing is ever written without a path: not a failure of this save
        if (obs_data_save_json_safe(data, path.c_str(), "tmp", "bak"))
            return true;
        failed_path = path;
    }
    VELMORA_LOG(LOG_WARNING, "Could not save the settings to %s", failed_path.c_str());
    return false;
}

std::uint16_t Settings::port()
{
    long long value = 0;
    {
        std::lock_guard lock(mutex);
        if (data)
            value = obs_data_get_int(data, "port");
    }
    if (value < 1024 || value > 65535)
        return default_port;
    return static_cast<std::uint16_t>(value);
}

void Settings::set_port(std::uint16_t value)
{
    {
        std::lock_guard lock(mutex);
        if (!data)
            return;
        obs_data_set_int(data, "port", value);
    }
    save();
}

bool Settings::dock_closed()
{
    std::lock_guard lock(mutex);
    return data && obs_data_get_bool(data, "dockClosed");
}

void Settings::set_dock_closed(bool value)
{
    {
        std::lock_guard lock(mutex);
        if (!data || obs_data_get_bool(data, "dockClosed") == value)
            return;
        obs_data_set_bool(data, "dockClosed", value);
    }
    save();
}

std::string Settings::overlay_token()
{
    std::string token;
    {
        std::lock_guard lock(mutex);
        if (data) {
            const char *stored = obs_data_get_string(data, "overlayToken");
            token = stored ? stored : "";
        }
    }
    if (token.size() == overlay_token_length)
        return token;
    return reset_overlay_token();
}

std::string Settings::reset_overlay_token()
{
    std::string token = random_token(overlay_token_bytes);
    {
        std::lock_guard lock(mutex);
        if (!data)
            return token;
        obs_data_set_string(data, "overlayToken", token.c_str());
    }
    save();
    return token;
}

obs_data_t *Settings::previous_service()
{
    std::string json;
    {
        std::lock_guard lock(mutex);
        if (!data)
            return nullptr;
        OBSDataAutoRelease previous = obs_data_get_obj(data, "previous");
        if (!previous)
            return nullptr;
        const char *type = obs_data_get_string(previous, "type");
        const char *text = type && *type ? obs_data_get_json(previous) : nullptr;
        if (!text)
            return nullptr;
        json = text;
    }
    // A parsed copy shares nothing with the store, so callers may use it on any thread.
    return obs_data_create_from_json(json.c_str());
}

bool Settings::set_previous_service(obs_data_t *service)
{
    // The store keeps its own copy, so the caller's object is never shared with other threads.
    const char *json = service ? obs_data_get_json(service) : nullptr;
    OBSDataAutoRelease copy = json ? obs_data_create_from_json(json) : nullptr;
    if (!copy)
        return false;
    OBSDataAutoRelease before;
    {
        std::lock_guard lock(mutex);
        if (!data)
            return false;
        before = obs_data_get_obj(data, "previous");
        obs_data_set_obj(data, "previous", copy);
    }
    if (save())
        return true;
    {
        std::lock_guard lock(mutex);
        if (data && before)
            obs_data_set_obj(data, "previous", before);
        else if (data)
            obs_data_erase(data, "previous");
    }
    return false;
}

bool Settings::clear_previous_service()
{
    {
        std::lock_guard lock(mutex);
        if (!data)
            return false;
        obs_data_erase(data, "previous");
    }
    return save();
}

} // namespace velmora
