#pragma once

#include "bridge/bridge.h"

namespace velmora {

// The setup bridge_init was given; empty before.
const BridgeSetup &installed_setup();

} // namespace velmora
