#pragma once

namespace velmora {

// Installs the bridge handlers on the local server, the bridge's OBS event handler and the
// statistics timer; main thread, once the server holds a port.
void bridge_init();
// Removes the OBS event handler and the timer; the server stops right after.
void bridge_shutdown();

} // namespace velmora
