#pragma once

#include <obs.h>

#include <cstdint>
#include <string>

namespace velmora {

// The page URL of an overlay kind on the local server, carrying the overlay token in its fragment.
std::string overlay_url(const std::string &kind, const std::string &query);
// This OBS has browser sources (OBS's browser module); without them an overlay cannot be added.
bool browser_sources_available();
inline constexpr const char *no_browser_sources =
    "This OBS has no browser sources, so it can't show overlays. Use “Copy link” and paste the link into "
    "a browser source of an OBS that has them.";
// Adds the kind's browser source to the scene being worked on; a message for the user, empty on
// success. Main thread.
std::string add_overlay(const std::string &kind, const std::string &query);
// The same, into a given scene (none: the message that asks for one).
std::string add_overlay_to(obs_scene_t *scene, const std::string &kind, const std::string &query);
// Points every overlay source at the current port and token; returns how many changed.
int refresh_overlay_urls();
// The text between the first "?" and the next "#" (or the end).
std::string overlay_query_of(const std::string &url);
// The query without its "lang" parameters: the module sets the page's language itself.
std::string without_language(const std::string &query);
// At most 300 bytes of ASCII letters, digits and "&,-.=_".
bool overlay_query_valid(const std::string &query);

struct ItemPosition {
    long long x, y;
};
// Where a new item of a kind ("chat" or "countdown") goes on a canvas: chat at the bottom left,
// 32 pixels in, the countdown centred; never above the top edge.
ItemPosition overlay_position(const std::string &kind, std::uint32_t canvas_width,
                              std::uint32_t canvas_height);

} // namespace velmora
