#pragma once

#include <string>

namespace velmora {

class LocalServer;
struct HttpRequest;
struct Response;

// Replaces any pending sign-in with a new one and returns the launcher URL to open.
std::string start_sign_in(LocalServer &server, const std::string &provider);
void cancel_sign_in(LocalServer &server);
// The /auth-callback route: hands a matching sign-in's identity token to the docks.
Response handle_auth_callback(LocalServer &server, const HttpRequest &request);
// Sums up the refusals held back from the log.
void flush_sign_in_warnings();

} // namespace velmora
