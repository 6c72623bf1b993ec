#pragma once

namespace velmora {

// Start-up and shut-down of every piece of the module, in their fixed order.
void module_start();
void module_stop();

} // namespace velmora
