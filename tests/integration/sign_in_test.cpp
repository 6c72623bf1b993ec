#include "signin/sign_in.h"

#include "server_fixture.h"

#include <gtest/gtest.h>
#include <obs-data.h>

#include <regex>

using velmora::cancel_sign_in;
using velmora::start_sign_in;

namespace {

class SignInTest : public ServerTest {
  protected:
    std::string state_of(const std::string &url)
    {
        std::smatch match;
        EXPECT_TRUE(std::regex_search(url, match, std::regex("&state=([0-9a-f]{48})&")));
        return match[1];
    }
    std::string callback(const std::string &query, const std::string &method = "GET",
                         const std::string &body = "")
    {
        std::string raw = method + " /auth-callback" + query + " HTTP/1.1\r\nHost: " + host() + "\r\n";
        if (!body.empty())
            raw += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n";
        return request(raw + "\r\n" + body);
    }
    static std::string status(const std::string &response)
    {
        return response.substr(0, response.find("\r\n"));
    }
};

} // namespace

TEST_F(SignInTest, LauncherUrl)
{
    std::string url = start_sign_in(server, "google");
    std::string p = std::to_string(port);
    EXPECT_TRUE(std::regex_match(
        url, std::regex("https://[a-z.]+/auth/launcher\\?callback=http%3A%2F%2F127\\.0\\.0\\.1%3A" + p +
                        "%2Fauth-callback&state=[0-9a-f]{48}&client=velmora-obs&provider=google")))
        << url;
    EXPECT_EQ(start_sign_in(server, "Google").find("provider"), std::string::npos);
    EXPECT_EQ(start_sign_in(server, "").find("provider"), std::string::npos);
}

TEST_F(SignInTest, GetCallbackHandsTheTokenToTheDocksOnce)
{
    std::string state = state_of(start_sign_in(server, "apple"));
    std::string response = callback("?state=" + state + "&idToken=abc.def&newUser=1");
    EXPECT_EQ(status(response), "HTTP/1.1 302 Found");
    EXPECT_NE(response.find("\r\nLocation: /auth-done\r\n"), std::string::npos);
    EXPECT_TRUE(log.contains("[velmora] Sign-in handed back to the dock"));

    std::string replay = callback("?state=" + state + "&idToken=abc.def");
    EXPECT_EQ(status(replay), "HTTP/1.1 403 Forbidden");
    EXPECT_NE(replay.find("<b>That sign-in link expired</b>Start again from the Velmora dock in OBS."),
              std::string::npos);
    EXPECT_TRUE(log.contains("[velmora] Sign-in callback refused (no matching sign-in in progress)"));
}

TEST_F(SignInTest, PostFormCallbackAndQueryPrecedence)
{
    std::string state = state_of(start_sign_in(server, ""));
    std::string response =
        callback("?idToken=from-query", "POST", "state=" + state + "&idToken=from-body&newUser=yes");
    EXPECT_EQ(status(response), "HTTP/1.1 303 See Other");
}

TEST_F(SignInTest, RefusalsAndBadTokens)
{
    EXPECT_EQ(status(callback("?state=&idToken=x")), "HTTP/1.1 403 Forbidden");
    std::string state = state_of(start_sign_in(server, ""));
    cancel_sign_in(server);
    EXPECT_EQ(status(callback("?state=" + state + "&idToken=x")), "HTTP/1.1 403 Forbidden");

    state = state_of(start_sign_in(server, ""));
    std::string newer = state_of(start_sign_in(server, ""));
    EXPECT_EQ(status(callback("?state=" + state + "&idToken=x")), "HTTP/1.1 403 Forbidden");

    EXPECT_EQ(status(callback("?state=" + newer + "&idToken=" + std::string(8193, 't'))),
              "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(status(callback("?state=" + newer + "&idToken=x")), "HTTP/1.1 403 Forbidden")
        << "used up by the 400";

    state = state_of(start_sign_in(server, ""));
    EXPECT_EQ(status(callback("?state=" + state + "&idToken=")), "HTTP/1.1 400 Bad Request");

    state = state_of(start_sign_in(server, ""));
    EXPECT_EQ(status(callback("?state=" + state + "&idToken=" + std::string(8192, 't'))),
              "HTTP/1.1 302 Found");

    state = state_of(start_sign_in(server, ""));
    {
        std::lock_guard guard(server.state->sign_in_lock);
        server.state->sign_in_expiry = std::chrono::steady_clock::now();
    }
    EXPECT_EQ(status(callback("?state=" + state + "&idToken=x")), "HTTP/1.1 403 Forbidden") << "expired";
}
