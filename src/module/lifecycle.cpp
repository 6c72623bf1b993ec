#include "module/lifecycle.h"

#include "bridge/bridge.h"
#include "bridge/vendor.h"
#include "dock/dock_panel.h"
#include "module/dock_protocol.h"
#include "module/vendor_requests.h"
#include "core/guard.h"
#include "core/log.h"
#include "core/module_info.h"
#include "core/page_language.h"
#include "core/settings.h"
#include "overlay/overlays.h"
#include "server/http_response.h"
#include "server/local_server.h"
#include "server/websocket.h"
#include "service/service_switch.h"
#include "service/stream_watch.h"
#include "signin/sign_in.h"
#include "update/installer_handoff.h"
#include "update/updater.h"

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.h>

namespace velmora {

namespace {

// OBS may close before its main window has finished loading; the browser dock must be closed
// from either handler, whichever sees the exit. Each handler removes itself once it is done, which
// is safe inside OBS's loop over its callbacks; at unload the frontend may be gone already.
void on_frontend_loading_event(enum obs_frontend_event event, void *)
{
    run_guarded("Finishing start-up", [event] {
        if (event == OBS_FRONTEND_EVENT_FINISHED_LOADING) {
            obs_frontend_remove_event_callback(on_frontend_loading_event, nullptr);
            if (local_server().port == 0)
                return;
            dock_attach_browser(dock_url());
            refresh_overlay_urls();
            adopt_installed_ingest();
            start_updater();
        } else if (event == OBS_FRONTEND_EVENT_EXIT) {
            dock_close_browser();
            obs_frontend_remove_event_callback(on_frontend_loading_event, nullptr);
        }
    });
}

void on_frontend_event(enum obs_frontend_event event, void *)
{
    run_guarded("Handling an OBS event", [event] {
        if (event == OBS_FRONTEND_EVENT_EXIT) {
            // obs-websocket is still loaded now, and may not be when this module unloads.
            vendor_exit();
            dock_close_browser();
            end_restart_watch();
            hand_off_installer();
            obs_frontend_remove_event_callback(on_frontend_event, nullptr);
        } else if (event == OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED && local_server().port != 0) {
            // A collection loaded now may hold overlays that point at an old port or token.
            refresh_overlay_urls();
        } else if (event == OBS_FRONTEND_EVENT_PROFILE_CHANGED && local_server().port != 0) {
            adopt_installed_ingest();
        }
    });
}

void on_tools_menu_entry(void *)
{
    run_guarded("Showing the dock", [] { dock_show(); });
}

} // namespace

void module_start()
{
    VELMORA_LOG(LOG_INFO, "Velmora for OBS %s loading (OBS %s)", module_version, obs_get_version_string());

    Settings &settings = Settings::instance();
    settings.load();

    LocalServer &server = local_server();
    std::uint16_t bound = server.start(settings.port());
    if (bound == 0) {
        VELMORA_LOG(LOG_ERROR,
                    "The dock cannot start without a local port; Velmora is unavailable this session");
        return;
    }
    // A stored port that was taken is replaced for the next run.
    if (bound != settings.port())
        settings.set_port(bound);
    server.set_overlay_token(settings.overlay_token());
    set_sign_in_words({obs_module_text("SignIn.Expired"), obs_module_text("SignIn.Failed"),
                       obs_module_text("SignIn.StartAgain"), obs_module_text("SignIn.NoDock"),
                       obs_module_text("SignIn.OpenDock"), std::string(obs_page_language())});
    server.set_auth_callback_handler(handle_auth_callback);
    stream_watch_init();
    bridge_init(dock_protocol());
    dock_init(
        {obs_module_text("DockTitle"), obs_module_text("Dock.Waiting"), obs_module_text("Dock.NoBrowser")});

    obs_frontend_add_tools_menu_item(obs_module_text("ToolsMenuEntry"), on_tools_menu_entry, nullptr);
    obs_frontend_add_event_callback(on_frontend_loading_event, nullptr);
    obs_frontend_add_event_callback(on_frontend_event, nullptr);
}

void module_post_load()
{
    // Every module has loaded, obs-websocket among them if it is there.
    if (local_server().port != 0)
        vendor_init(vendor_protocol());
}

// Only libobs and the module's own threads from here: frontend and Qt work ended at OBS's EXIT.
void module_stop()
{
    // Before the updater: a request under way may still ask it for a check.
    vendor_shutdown();
    stop_updater();
    bridge_shutdown();
    stream_watch_shutdown();
    local_server().stop();
    flush_refusal_warnings();
    flush_sign_in_warnings();

    // Released here rather than at process exit so OBS's own leak count stays at zero.
    Settings::instance().close();
    VELMORA_LOG(LOG_INFO, "Velmora for OBS unloaded");
}

} // namespace velmora
