#pragma once

namespace velmora {

class LocalServer;
struct HttpRequest;
struct Response;

enum class Route { bridge, overlay, plain };

// Which kind of handling a request needs: one of the two WebSocket endpoints, or a plain answer.
Route route_of(const HttpRequest &request);
// The answer to a plain request, Host check included.
Response answer(LocalServer &server, const HttpRequest &request);
bool host_allowed(const LocalServer &server, const HttpRequest &request);

} // namespace velmora
