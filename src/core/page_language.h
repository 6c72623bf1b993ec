#pragma once

#include <string>
#include <string_view>

namespace velmora {

// The language the web pages speak for OBS's UI language (obs_get_locale(), e.g. "pt-PT"): the
// same one when the pages have it, else one of theirs for the same language ("pt-BR"), else "en-US".
std::string_view page_language(std::string_view obs_locale);

// The pages' language for OBS's UI language; en-US without OBS's core (a test).
std::string_view obs_page_language();

// "?lang=<language>", or nothing for en-US, the pages' own.
std::string language_query(std::string_view language);
// language_query() for OBS's UI language.
std::string page_language_query();

} // namespace velmora
