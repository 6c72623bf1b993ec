#pragma once

#include "bridge/bridge.h"

#include <string>

namespace velmora {

// The dock's protocol as the features answer it: every action with its handler, and the state
// snapshot. Start-up hands this to the bridge.
BridgeSetup dock_protocol();
// The state event's text, rebuilt from OBS; main thread only.
std::string state_json();

} // namespace velmora
