#include "signin/sign_in.h"

#include "bridge/events.h"
#include "core/build_constants.h"
#include "core/encoding.h"
#include "core/event_json.h"
#include "core/log.h"
#include "core/log_limiter.h"
#include "core/page_language.h"
#include "core/tokens.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/local_server.h"

#include <chrono>
#include <mutex>

namespace velmora {

namespace {

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

// Any web page can call the callback, so its refusals must not flood OBS's log.
LogLimiter refused_callbacks("[velmora] Refused %d more sign-in callbacks in the last minute");

// Set on OBS's main thread at start, read on the server's: the server never asks OBS.
std::mutex words_lock;
SignInWords words;

SignInWords current_words()
{
    std::lock_guard guard(words_lock);
    return words;
}

Response page(int status, const SignInWords &said, const std::string &title, const std::string &text)
{
    return {status, "text/html; charset=utf-8", message_page(title, text, said.language), {}};
}

} // namespace

void set_sign_in_words(SignInWords new_words)
{
    std::lock_guard guard(words_lock);
    words = std::move(new_words);
}

std::string start_sign_in(LocalServer &server, const std::string &provider)
{
    std::string state_token = random_token(24);
    if (auto s = server.current_state()) {
        std::lock_guard guard(s->sign_in_lock);
        s->pending_sign_in = state_token;
        s->sign_in_expiry = std::chrono::steady_clock::now() + sign_in_lifetime;
    }
    std::string callback = server.origin() + "/auth-callback";
    std::string url = std::string(constants::site_origin) +
                      "/auth/launcher?callback=" + url_encode(callback) + "&state=" + state_token +
                      "&client=velmora-obs";
    if (is_known_provider(provider))
        url += "&provider=" + provider;
    return url;
}

void cancel_sign_in(LocalServer &server)
{
    auto s = server.current_state();
    if (!s)
        return;
    std::lock_guard guard(s->sign_in_lock);
    s->pending_sign_in.clear();
}

Response handle_auth_callback(LocalServer &server, const HttpRequest &request)
{
    std::map<std::string, std::string> parameters = request.query;
    if (request.method == "POST") {
        for (auto &[name, value] : parse_query(request.body))
            parameters.emplace(name, value); // a name in the query keeps the query's value
    }
    std::string state_token = parameter(parameters, "state");
    std::string id_token = parameter(parameters, "idToken");

    bool matched = false;
    if (auto s = server.current_state()) {
        std::lock_guard guard(s->sign_in_lock);
        std::string &pending = s->pending_sign_in;
        matched = !pending.empty() && std::chrono::steady_clock::now() < s->sign_in_expiry &&
                  tokens_equal(state_token, pending);
        if (matched)
            pending.clear();
    }

    if (!matched) {
        if (refused_callbacks.allow())
            VELMORA_LOG(LOG_WARNING, "Sign-in callback refused (no matching sign-in in progress)");
        SignInWords said = current_words();
        return page(403, said, said.expired, said.start_again);
    }
    if (id_token.empty() || id_token.size() > max_id_token_bytes) {
        SignInWords said = current_words();
        return page(400, said, said.failed, said.start_again);
    }

    std::size_t docks = send_event(EventJson("auth_token")
                                       .add_string("idToken", id_token)
                                       .add_bool("isNewUser", parameter(parameters, "newUser") == "1"));
    // Telling the browser that sign-in is done when no dock got the token would be a lie.
    if (docks == 0) {
        VELMORA_LOG(LOG_WARNING, "Sign-in could not be handed to the dock: no dock is open");
        SignInWords said = current_words();
        return page(503, said, said.no_dock, said.open_dock);
    }
    VELMORA_LOG(LOG_INFO, "Sign-in handed back to the dock");
    return {request.method == "POST" ? 303 : 302,
            "text/plain",
            "",
            {{"Location", "/auth-done" + language_query(current_words().language)}}};
}

void flush_sign_in_warnings()
{
    refused_callbacks.flush();
}

} // namespace velmora
