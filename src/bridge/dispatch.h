#pragma once

#include <string>

namespace velmora {

// Handles one message from a dock, on the connection thread that received it.
void handle_message(const std::string &text);

} // namespace velmora
