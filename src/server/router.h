#pragma once

#include "platform/socket.h"

namespace velmora {

class LocalServer;
struct HttpRequest;

// Serves the one request of an accepted connection; owns the socket from here on.
void handle_connection(LocalServer &server, platform::socket_t socket);
bool host_allowed(const LocalServer &server, const HttpRequest &request);

} // namespace velmora
