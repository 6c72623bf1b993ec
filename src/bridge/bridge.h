#pragma once

#include <functional>

namespace velmora {

// Installs the bridge handlers on the local server, the bridge's OBS event handler and the
// statistics timer; main thread, once the server holds a port.
void bridge_init();
// Removes the OBS event handler and the timer; the server stops right after.
void bridge_shutdown();
// Queues work for the main thread that is dropped if the bridge has shut down by the time it
// runs (OBS may still run queued tasks while it closes).
void queue_bridge_task(std::function<void()> task);
// From now on queued bridge tasks are dropped (OBS is closing).
void stop_bridge_tasks();

} // namespace velmora
