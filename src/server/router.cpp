#include "server/router.h"

#include "server/http_request.h"
#include "server/http_response.h"
#include "server/local_server.h"
#include "server/static_files.h"

namespace velmora {

bool host_allowed(const LocalServer &server, const HttpRequest &request)
{
    auto host = request.headers.find("host");
    if (host == request.headers.end())
        return false;
    std::string port = std::to_string(server.port);
    return host->second == "127.0.0.1:" + port || host->second == "localhost:" + port;
}

Route route_of(const HttpRequest &request)
{
    if (request.path == "/bridge")
        return Route::bridge;
    if (request.path == "/overlay")
        return Route::overlay;
    return Route::plain;
}

Response answer(LocalServer &server, const HttpRequest &request)
{
    if (!host_allowed(server, request))
        return text_response(403, "Forbidden");
    const std::string &path = request.path;
    if (path == "/auth-callback") {
        Response response;
        if (server.call_auth_callback(request, response))
            return response;
        return text_response(404, "Not found");
    }
    auto language = request.query.find("lang");
    std::string lang = language == request.query.end() ? std::string() : language->second;
    if (path == "/auth-done")
        return serve_page(server, "auth-done.html", lang);
    if (path == "/" || path == "/dock")
        return {302, "text/plain", "", {{"Location", "/dock/"}}};
    if (request.method == "GET" && path.compare(0, 6, "/dock/") == 0) {
        std::string rest = path.substr(6);
        return serve_page(server, rest.empty() ? "index.html" : rest, lang);
    }
    return text_response(404, "Not found");
}

} // namespace velmora
