#pragma once

namespace velmora {

// Start-up and shut-down of every piece of the module, in their fixed order.
void module_start();
// Once every module has loaded: what needs another module (obs-websocket).
void module_post_load();
void module_stop();

} // namespace velmora
