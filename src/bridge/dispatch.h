#pragma once

#include "bridge/bridge.h"

#include <span>
#include <string>

namespace velmora {

// Handles one message from a dock, on the connection thread that received it, with the actions
// the bridge was started with.
void handle_message(const std::string &text);
// The same with a given table of actions.
void dispatch_message(const std::string &text, std::span<const Action> actions);

} // namespace velmora
