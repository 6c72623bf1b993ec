#pragma once

#include <string>

struct obs_data;
typedef struct obs_data obs_data_t;

namespace velmora {

// What the dock's actions and obs-websocket's requests both do, so either way of asking gets the
// same work, the same words and the same events to every dock.

// Adds the overlay to the scene being worked on and tells the docks; the problem, empty when done.
// Main thread.
std::string add_overlay_and_tell(const std::string &kind, const std::string &query);
// A new overlay token for every overlay source and page. Main thread.
void reset_overlay_link();
// Sends the object to every overlay page as the published overlay state; any thread. False when
// it cannot be written as JSON or the server is not running.
bool publish_overlay_object(obs_data_t *state);

} // namespace velmora
