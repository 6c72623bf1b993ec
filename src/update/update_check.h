#pragma once

namespace velmora {

// One check: asks the service for a newer version and, when one is offered and its record is
// sound, downloads and verifies the installer. Runs on the updater thread only.
void run_check();

} // namespace velmora
