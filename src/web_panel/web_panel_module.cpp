// The provider's OBS module: nothing happens at load; the engine starts only when the dock asks
// for a panel, and never where obs-browser is there to be asked instead.
#include "web_panel/web_panel.h"

#include <obs-module.h>

OBS_DECLARE_MODULE()

extern "C" {

MODULE_EXPORT const char *obs_module_name(void)
{
    return "Velmora web panel";
}

MODULE_EXPORT const char *obs_module_description(void)
{
    return "Browser panels for the Velmora dock where OBS has no obs-browser";
}

bool obs_module_load(void)
{
    return true;
}

MODULE_EXPORT QCef *obs_browser_create_qcef(void)
{
    try {
        return velmora::web_panel::create_panel();
    } catch (...) {
        return nullptr;
    }
}

MODULE_EXPORT int obs_browser_qcef_version_export(void)
{
    return velmora::web_panel::interface_version;
}

} // extern "C"
