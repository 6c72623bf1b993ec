// The provider's OBS module is a small stub: Qt WebEngine (a whole Chromium) lives in a library
// beside it that is loaded only when the dock asks for a panel, so an OBS that has obs-browser, or
// never shows the dock, neither loads nor starts it.
#include "core/log.h"

#include <obs-module.h>
#include <util/platform.h>
#include <util/util.hpp>

#include <cstdlib>
#include <string>

#include <unistd.h>

class QCef;

OBS_DECLARE_MODULE()

namespace {

bool sandbox_turned_off = false;

QCef *create_from_engine()
{
    static void *engine = nullptr;
    if (!engine) {
        std::string path = VELMORA_WEB_PANEL_ENGINE; // a package's fixed place, or beside this module
        if (path.empty()) {
            path = obs_get_module_binary_path(obs_current_module());
            path = path.substr(0, path.rfind('/') + 1) + "velmora-web-panel-engine.so";
        }
        engine = os_dlopen(path.c_str());
        if (!engine) {
            VELMORA_LOG(LOG_WARNING, "Web panel: its engine library could not be loaded");
            return nullptr;
        }
        if (sandbox_turned_off)
            VELMORA_LOG(LOG_WARNING,
                        "Web panel: OBS runs as root, where Chromium's sandbox cannot work; it is off");
    }
    auto create = reinterpret_cast<QCef *(*)(obs_module_t *)>(os_dlsym(engine, "velmora_web_panel_create"));
    return create ? create(obs_current_module()) : nullptr;
}

} // namespace

extern "C" {

MODULE_EXPORT const char *obs_module_name(void)
{
    return "Velmora web panel";
}

MODULE_EXPORT const char *obs_module_description(void)
{
    return "Browser panels for the Velmora dock where OBS has no obs-browser";
}

// Chromium's sandbox needs privileges a root process does not hand down. The engine reads this
// when it starts; set it now, while OBS starts, rather than later beside OBS's running threads.
bool obs_module_load(void)
{
    if (geteuid() == 0 && !std::getenv("QTWEBENGINE_DISABLE_SANDBOX")) {
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
        sandbox_turned_off = true;
    }
    return true;
}

MODULE_EXPORT QCef *obs_browser_create_qcef(void)
{
    return create_from_engine();
}

MODULE_EXPORT int obs_browser_qcef_version_export(void)
{
    // The version obs-browser reports with the same virtuals.
    return 3;
}

} // extern "C"
