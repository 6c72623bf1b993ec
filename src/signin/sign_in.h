#pragma once

#include <string>

namespace velmora {

class LocalServer;
struct HttpRequest;
struct Response;

// The words of the pages the callback answers a browser with, and their language (OBS's, as the
// pages speak it); English until set.
struct SignInWords {
    std::string expired = "That sign-in link expired";
    std::string failed = "Something went wrong";
    std::string start_again = "Start again from the Velmora dock in OBS.";
    std::string no_dock = "Sign-in could not reach OBS";
    std::string open_dock = "Open the Velmora dock in OBS and sign in again.";
    std::string language = "en-US";
};
void set_sign_in_words(SignInWords words);

// Replaces any pending sign-in with a new one and returns the launcher URL to open.
std::string start_sign_in(LocalServer &server, const std::string &provider);
void cancel_sign_in(LocalServer &server);
// The /auth-callback route: hands a matching sign-in's identity token to the docks.
Response handle_auth_callback(LocalServer &server, const HttpRequest &request);
// Sums up the refusals held back from the log.
void flush_sign_in_warnings();

} // namespace velmora
