// The functions OBS looks up in the module file. Nothing else is exported.
#include "core/guard.h"
#include "module/lifecycle.h"
#include "core/module_handle.h"
#include "core/module_info.h"
#include "core/page_language.h"

#include <obs-module.h>
#include <util/text-lookup.h>

#include <string>

namespace {
lookup_t *locale_lookup = nullptr;
}

extern "C" {

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
    velmora::set_module_handle(module);
}

// The API version of the SDK the module is built against: a newer number would make an older
// OBS refuse to load the module.
MODULE_EXPORT uint32_t obs_module_ver(void)
{
    return LIBOBS_API_VER;
}

MODULE_EXPORT const char *obs_module_name(void)
{
    return velmora::module_name;
}

MODULE_EXPORT const char *obs_module_description(void)
{
    return velmora::module_description;
}

MODULE_EXPORT void obs_module_set_locale(const char *locale)
{
    if (locale_lookup)
        text_lookup_destroy(locale_lookup);
    // OBS reads only the file of the exact locale: pt-PT gets pt-BR's texts, as the pages do.
    std::string nearest(velmora::page_language(locale ? locale : ""));
    locale_lookup =
        obs_module_load_locale(velmora::module_handle(), velmora::default_locale, nearest.c_str());
}

MODULE_EXPORT void obs_module_free_locale(void)
{
    text_lookup_destroy(locale_lookup);
    locale_lookup = nullptr;
}

MODULE_EXPORT bool obs_module_get_string(const char *key, const char **out)
{
    return locale_lookup && text_lookup_getstr(locale_lookup, key, out);
}

// The module's text in OBS's language, as OBS's own plug-ins read theirs; the key when there is none.
const char *obs_module_text(const char *key)
{
    const char *text = nullptr;
    return obs_module_get_string(key, &text) && text ? text : key;
}

MODULE_EXPORT bool obs_module_load(void)
{
    velmora::run_guarded("Loading", [] { velmora::module_start(); });
    return true;
}

MODULE_EXPORT void obs_module_post_load(void)
{
    velmora::run_guarded("Finishing loading", [] { velmora::module_post_load(); });
}

MODULE_EXPORT void obs_module_unload(void)
{
    velmora::run_guarded("Unloading", [] { velmora::module_stop(); });
}

} // extern "C"
