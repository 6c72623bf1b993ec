#include "overlay/overlays.h"

#include "core/log.h"
#include "core/page_language.h"
#include "server/local_server.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace velmora {

namespace {

struct OverlayKind {
    std::string_view name;
    const char *source_name;
    int width, height;
    std::string_view page;
};
constexpr OverlayKind kinds[] = {
    {"chat", "Velmora chat", 420, 640, "overlay-chat.html"},
    {"countdown", "Velmora countdown", 960, 260, "overlay-countdown.html"},
};
// A name and its variants 2 to 48 are tried before an overlay gives up.
constexpr int last_name_suffix = 48;

const OverlayKind *find_kind(std::string_view name)
{
    for (const OverlayKind &kind : kinds) {
        if (kind.name == name)
            return &kind;
    }
    return nullptr;
}

std::string string_setting(obs_data_t *settings, const char *name)
{
    const char *value = obs_data_get_string(settings, name);
    return value ? value : "";
}

bool is_browser_source(obs_source_t *source)
{
    const char *id = obs_source_get_id(source);
    return id && std::strcmp(id, "browser_source") == 0;
}

// Ours: a browser source with this kind's marker, or, from before markers, one without a marker that
// shows this kind's page on the local server. A marker of the other kind is never taken over: that
// overlay's URL, options and size would be lost.
bool is_our_overlay(obs_source_t *source, const OverlayKind &kind)
{
    if (!is_browser_source(source))
        return false;
    OBSDataAutoRelease settings = obs_source_get_settings(source);
    if (obs_data_has_user_value(settings, "velmora_overlay"))
        return string_setting(settings, "velmora_overlay") == kind.name;
    std::string url = string_setting(settings, "url");
    std::string page = "/dock/" + std::string(kind.page);
    std::size_t at = url.find(page);
    if (url.rfind("http://127.0.0.1:", 0) != 0 || at == std::string::npos)
        return false;
    char after = at + page.size() < url.size() ? url[at + page.size()] : '\0';
    return after == '\0' || after == '?' || after == '#';
}

obs_data_t *overlay_settings(const OverlayKind &kind, const std::string &url)
{
    obs_data_t *settings = obs_data_create();
    obs_data_set_string(settings, "url", url.c_str());
    obs_data_set_bool(settings, "is_local_file", false);
    obs_data_set_int(settings, "width", kind.width);
    obs_data_set_int(settings, "height", kind.height);
    obs_data_set_string(settings, "css",
                        "body { background-color: rgba(0, 0, 0, 0); margin: 0px auto; overflow: hidden; }");
    obs_data_set_bool(settings, "shutdown", false);
    obs_data_set_bool(settings, "restart_when_active", false);
    obs_data_set_string(settings, "velmora_overlay", std::string(kind.name).c_str());
    return settings;
}

enum class Found { reused, created, not_created, no_free_name };

// Our overlay source of this kind, updated, or a new one under a free name. Another's source may
// hold the name (a browser source of the streamer's own among them): it is never taken over; the
// next name that is free, or already ours, is used instead.
obs_source_t *overlay_source(const OverlayKind &kind, obs_data_t *settings, Found &found)
{
    for (int suffix = 1; suffix <= last_name_suffix; ++suffix) {
        std::string name = kind.source_name;
        if (suffix > 1)
            name += " " + std::to_string(suffix);
        obs_source_t *existing = obs_get_source_by_name(name.c_str());
        if (existing && is_our_overlay(existing, kind)) {
            obs_source_update(existing, settings);
            found = Found::reused;
            return existing;
        }
        if (!existing) {
            obs_source_t *created = obs_source_create("browser_source", name.c_str(), settings, nullptr);
            found = created ? Found::created : Found::not_created;
            return created;
        }
        obs_source_release(existing);
    }
    found = Found::no_free_name;
    return nullptr;
}

} // namespace

std::string overlay_url(const std::string &kind, const std::string &query)
{
    LocalServer &server = local_server();
    std::string url = server.origin() + "/dock/";
    url += kind == "countdown" ? kinds[1].page : kinds[0].page;
    // The page speaks OBS's language; English, the pages' own, needs no parameter.
    std::string full = without_language(query);
    std::string_view language = obs_page_language();
    if (language != "en-US")
        full += (full.empty() ? "lang=" : "&lang=") + std::string(language);
    if (!full.empty())
        url += "?" + full;
    url += "#o=" + server.overlay_token();
    return url;
}

std::string without_language(const std::string &query)
{
    std::string kept;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        std::string_view part(query.data() + start, end - start);
        if (!part.empty() && !part.starts_with("lang=")) {
            if (!kept.empty())
                kept += '&';
            kept += part;
        }
        start = end + 1;
    }
    return kept;
}

std::string overlay_query_of(const std::string &url)
{
    std::size_t question = url.find('?');
    if (question == std::string::npos)
        return {};
    std::size_t hash = url.find('#', question);
    return url.substr(question + 1, hash == std::string::npos ? std::string::npos : hash - question - 1);
}

bool overlay_query_valid(const std::string &query)
{
    return query.size() <= 300 && std::all_of(query.begin(), query.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '&' || c == ',' || c == '-' || c == '.' || c == '=' || c == '_';
           });
}

ItemPosition overlay_position(const std::string &kind_name, std::uint32_t canvas_width,
                              std::uint32_t canvas_height)
{
    const OverlayKind &kind = kind_name == "countdown" ? kinds[1] : kinds[0];
    // Signed: on a canvas narrower or lower than the overlay, x may go negative as it should, and y
    // is clamped, instead of either wrapping round to billions of pixels.
    long long width = canvas_width, height = canvas_height;
    ItemPosition position{32, height - kind.height - 32};
    if (kind.name == "countdown")
        position = {(width - kind.width) / 2, (height - kind.height) / 2};
    position.y = std::max(position.y, 0LL);
    return position;
}

std::string add_overlay(const std::string &kind_name, const std::string &query)
{
    OBSSourceAutoRelease scene_source = obs_frontend_preview_program_mode_active()
                                            ? obs_frontend_get_current_preview_scene()
                                            : obs_frontend_get_current_scene();
    return add_overlay_to(obs_scene_from_source(scene_source), kind_name, query);
}

bool browser_sources_available()
{
    // Without the browser module libobs still "creates" a browser source: a placeholder that never
    // shows anything. A type that is registered has a display name.
    return obs_source_get_display_name("browser_source") != nullptr;
}

std::string add_overlay_to(obs_scene_t *scene, const std::string &kind_name, const std::string &query)
{
    const OverlayKind *kind = find_kind(kind_name);
    if (!kind)
        return "That overlay doesn't exist.";
    if (!overlay_query_valid(query))
        return "Those overlay options look off. Try again.";
    if (!scene)
        return "Pick a scene in OBS first, then try again.";
    if (!browser_sources_available())
        return no_browser_sources;

    OBSDataAutoRelease settings = overlay_settings(*kind, overlay_url(kind_name, query));
    Found found;
    OBSSourceAutoRelease source = overlay_source(*kind, settings, found);
    if (found == Found::no_free_name)
        return std::string("Too many sources are named like \"") + kind->source_name +
               "\". Rename one of them, then try again.";
    if (!source)
        return "OBS couldn't make a browser source. Try again, or use “Copy link”.";

    // Inside a group too: a streamer who grouped the overlay must not get a second copy.
    if (!obs_scene_find_source_recursive(scene, obs_source_get_name(source))) {
        obs_sceneitem_t *item = obs_scene_add(scene, source);
        if (!item)
            return "OBS couldn't add it to this scene. Try another scene.";
        obs_video_info video{};
        if (obs_get_video_info(&video)) {
            ItemPosition position = overlay_position(kind_name, video.base_width, video.base_height);
            vec2 at{};
            at.x = static_cast<float>(position.x);
            at.y = static_cast<float>(position.y);
            obs_sceneitem_set_pos(item, &at);
        }
    }
    VELMORA_LOG(LOG_INFO, "Overlay '%s' is in the scene", kind_name.c_str());
    return {};
}

int refresh_overlay_urls()
{
    int changed = 0;
    obs_enum_sources(
        [](void *count, obs_source_t *source) {
            if (!is_browser_source(source))
                return true;
            OBSDataAutoRelease settings = obs_source_get_settings(source);
            std::string kind = string_setting(settings, "velmora_overlay");
            if (!find_kind(kind))
                return true;
            std::string url = string_setting(settings, "url");
            std::string query = overlay_query_of(url);
            std::string wanted = overlay_url(kind, overlay_query_valid(query) ? query : std::string());
            if (wanted != url) {
                OBSDataAutoRelease update = obs_data_create();
                obs_data_set_string(update, "url", wanted.c_str());
                obs_source_update(source, update);
                ++*static_cast<int *>(count);
            }
            return true;
        },
        &changed);
    return changed;
}

} // namespace velmora
