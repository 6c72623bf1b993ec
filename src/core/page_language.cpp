#include "core/page_language.h"

#include <array>
#include <string>

namespace velmora {

namespace {

// The pages' catalogs (data/web/locale), en-US first: the one for a language none of them has.
constexpr std::array<std::string_view, 9> languages = {"en-US", "de-DE", "es-ES", "fr-FR", "it-IT",
                                                       "ja-JP", "ko-KR", "pt-BR", "zh-CN"};

std::string_view language_part(std::string_view locale)
{
    return locale.substr(0, locale.find_first_of("-_"));
}

} // namespace

std::string_view page_language(std::string_view obs_locale)
{
    for (std::string_view language : languages)
        if (language == obs_locale)
            return language;
    for (std::string_view language : languages)
        if (language_part(language) == language_part(obs_locale))
            return language;
    return languages[0];
}

std::string language_query(std::string_view language)
{
    return language == languages[0] ? std::string() : "?lang=" + std::string(language);
}

} // namespace velmora
