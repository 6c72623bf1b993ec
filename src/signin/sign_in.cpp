#include "signin/sign_in.h"

#include "bridge/event_json.h"
#include "module/encoding.h"
#include "module/log.h"
#include "module/tokens.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/local_server.h"
#include "server/websocket.h"

#include <chrono>

namespace velmora {

namespace {

constexpr const char *service_site_origin = "https://velmora.app";
constexpr auto sign_in_lifetime = std::chrono::seconds(900);
constexpr std::size_t max_id_token_bytes = 8192;

bool is_known_provider(const std::string &provider)
{
    return provider == "google" || provider == "apple" || provider == "facebook" || provider == "twitter";
}

std::string parameter(const std::map<std::string, std::string> &parameters, const char *name)
{
    auto found = parameters.find(name);
    return found == parameters.end() ? std::string() : found->second;
}

std::string auth_token_event(const std::string &id_token, bool is_new_user)
{
    return EventJson("auth_token").add_string("idToken", id_token).add_bool("isNewUser", is_new_user).text();
}

void send_page(platform::socket_t socket, int status, const char *title)
{
    send_response(socket, status, "text/html; charset=utf-8",
                  message_page(title, "Start again from the Velmora dock in OBS."));
}

} // namespace

std::string start_sign_in(LocalServer &server, const std::string &provider)
{
    std::string state_token = random_token(24);
    if (server.state) {
        std::lock_guard guard(server.state->sign_in_lock);
        server.state->pending_sign_in = state_token;
        server.state->sign_in_expiry = std::chrono::steady_clock::now() + sign_in_lifetime;
    }
    std::string callback = "http://127.0.0.1:" + std::to_string(server.port) + "/auth-callback";
    std::string url = std::string(service_site_origin) + "/auth/launcher?callback=" + url_encode(callback) +
                      "&state=" + state_token + "&client=velmora-obs";
    if (is_known_provider(provider))
        url += "&provider=" + provider;
    return url;
}

void cancel_sign_in(LocalServer &server)
{
    if (!server.state)
        return;
    std::lock_guard guard(server.state->sign_in_lock);
    server.state->pending_sign_in.clear();
}

void handle_auth_callback(LocalServer &server, platform::socket_t socket, const HttpRequest &request)
{
    std::map<std::string, std::string> parameters = request.query;
    if (request.method == "POST") {
        for (auto &[name, value] : parse_query(request.body))
            parameters.emplace(name, value); // a name in the query keeps the query's value
    }
    std::string state_token = parameter(parameters, "state");
    std::string id_token = parameter(parameters, "idToken");

    bool matched = false;
    if (server.state) {
        std::lock_guard guard(server.state->sign_in_lock);
        std::string &pending = server.state->pending_sign_in;
        matched = !pending.empty() && std::chrono::steady_clock::now() < server.state->sign_in_expiry &&
                  tokens_equal(state_token, pending);
        if (matched)
            pending.clear();
    }

    if (!matched) {
        VELMORA_LOG(LOG_WARNING, "Sign-in callback refused (no matching sign-in in progress)");
        send_page(socket, 403, "That sign-in link expired");
        return;
    }
    if (id_token.empty() || id_token.size() > max_id_token_bytes) {
        send_page(socket, 400, "Something went wrong");
        return;
    }

    broadcast_bridge(server, auth_token_event(id_token, parameter(parameters, "newUser") == "1"));
    VELMORA_LOG(LOG_INFO, "Sign-in handed back to the dock");
    send_response(socket, request.method == "POST" ? 303 : 302, "text/plain", "",
                  {{"Location", "/auth-done"}});
}

} // namespace velmora
