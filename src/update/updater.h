#pragma once

namespace velmora {

// The updater thread: a check at once, then every 4 hours and on request, until stop_updater.
void start_updater();
void stop_updater();
// Wakes the updater for a check; returns at once.
// False when no updater runs to take it (before OBS finished loading, or it could not start).
bool request_update_check();
// In phase "ready": marks the restart, tells the docks and asks OBS's window to close. False
// otherwise. Main thread.
bool restart_for_update();
// Ends the watch over a requested restart; at OBS's exit, before anything unloads. Main thread.
void end_restart_watch();

} // namespace velmora
