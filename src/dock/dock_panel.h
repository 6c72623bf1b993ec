#pragma once

#include <string>

class QDockWidget;

namespace velmora {

// "http://127.0.0.1:<port>/dock/#t=<bridge token>": the token travels in the fragment only.
std::string dock_url();
// Registers the dock with its waiting message; at start-up, once the server holds a port.
void dock_init();
// Puts the browser panel into the dock, once OBS has finished loading.
void dock_attach_browser(const std::string &url);
QDockWidget *dock_find();
void dock_show();
// OBS is closing: the browser goes, and hiding the dock no longer counts as the user's choice.
void dock_close_browser();
// Releases what obs-browser gave us; at unload, and at the end of dock_close_browser.
void dock_release_browser();

} // namespace velmora
