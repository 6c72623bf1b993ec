#pragma once

#include <string>

class QDockWidget;

namespace velmora {

// "http://127.0.0.1:<port>/dock/[?lang=<OBS's language>]#t=<bridge token>": the token travels in
// the fragment only.
std::string dock_url();
// The dock's own texts, in OBS's language: its title, what it says while the browser starts, and
// what it says where OBS has no browser panel (%1: where OBS comes from).
struct DockWords {
    std::string title;
    std::string waiting;
    std::string no_browser;
};
// Registers the dock with its waiting message; at start-up, once the server holds a port.
void dock_init(const DockWords &words);
// Puts the browser panel into the dock, once OBS has finished loading.
void dock_attach_browser(const std::string &url);
QDockWidget *dock_find();
// False when there is no dock to show.
bool dock_show();
// OBS is closing (its EXIT event): the browser and what obs-browser gave us go, the dock is removed
// where OBS registers docks by id, and hiding the dock no longer counts as the user's choice.
// Idempotent.
void dock_close_browser();

} // namespace velmora
