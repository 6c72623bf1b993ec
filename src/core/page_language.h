#pragma once

#include <string_view>

namespace velmora {

// The language the web pages speak for OBS's UI language (obs_get_locale(), e.g. "pt-PT"): the
// same one when the pages have it, else one of theirs for the same language ("pt-BR"), else "en-US".
std::string_view page_language(std::string_view obs_locale);

} // namespace velmora
