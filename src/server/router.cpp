#include "server/router.h"

#include "server/http_request.h"
#include "server/http_response.h"
#include "server/local_server.h"
#include "server/websocket.h"
#include "signin/sign_in.h"

namespace velmora {

bool host_allowed(const LocalServer &server, const HttpRequest &request)
{
    auto host = request.headers.find("host");
    if (host == request.headers.end())
        return false;
    std::string port = std::to_string(server.port);
    return host->second == "127.0.0.1:" + port || host->second == "localhost:" + port;
}

namespace {

void route_request(LocalServer &server, platform::socket_t socket)
{
    HttpRequest request;
    if (!read_request(socket, request)) {
        close_socket(socket);
        return;
    }
    if (!host_allowed(server, request)) {
        send_response(socket, 403, "text/plain", "Forbidden");
        close_socket(socket);
        return;
    }

    const std::string &path = request.path;
    if (path == "/bridge" || path == "/overlay") {
        handle_websocket(server, socket, request, path == "/overlay");
        return;
    }

    if (path == "/auth-callback") {
        handle_auth_callback(server, socket, request);
    } else if (path == "/auth-done") {
        serve_file(server, socket, "auth-done.html");
    } else if (path == "/" || path == "/dock") {
        send_response(socket, 302, "text/plain", "", {{"Location", "/dock/"}});
    } else if (request.method == "GET" && path.compare(0, 6, "/dock/") == 0) {
        std::string rest = path.substr(6);
        serve_file(server, socket, rest.empty() ? "index.html" : rest);
    } else {
        send_response(socket, 404, "text/plain", "Not found");
    }
    close_socket(socket);
}

} // namespace

void handle_connection(LocalServer &server, platform::socket_t socket)
{
    try {
        route_request(server, socket);
    } catch (...) {
        // Every route closes or hands over the socket as its last step, so one that failed
        // still holds it. Nothing thrown here may reach the thread's top and end OBS.
        close_socket(socket);
    }
}

} // namespace velmora
