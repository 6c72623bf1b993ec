// OBS's UI language as the pages speak it; apart from page_language.cpp, which the server's
// library (built without OBS for Windows tests) also carries.
#include "core/page_language.h"

#include <obs.h>

#include <string>

namespace velmora {

std::string_view obs_page_language()
{
    // Without OBS's core there is no locale, and asking for it would crash.
    const char *locale = obs_initialized() ? obs_get_locale() : nullptr;
    return page_language(locale ? locale : "");
}

std::string page_language_query()
{
    return language_query(obs_page_language());
}

} // namespace velmora
