#pragma once

#include "platform/socket.h"

#include <string>

namespace velmora {

class LocalServer;
struct HttpRequest;

// Replaces any pending sign-in with a new one and returns the launcher URL to open.
std::string start_sign_in(LocalServer &server, const std::string &provider);
void cancel_sign_in(LocalServer &server);
// The /auth-callback route: hands a matching sign-in's identity token to the docks.
void handle_auth_callback(LocalServer &server, platform::socket_t socket, const HttpRequest &request);

} // namespace velmora
