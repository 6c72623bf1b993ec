#pragma once

namespace velmora {

inline constexpr const char *module_name = "Velmora";
inline constexpr const char *module_description =
    "Stream from OBS into a Velmora voice hall or Stage, and on to your Twitch and YouTube.";
inline constexpr const char *module_version = "1.0.1";
inline constexpr const char *default_locale = "en-US";

} // namespace velmora
