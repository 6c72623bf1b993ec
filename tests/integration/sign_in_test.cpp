#include "signin/sign_in.h"

#include "server/http_response.h"
#include "server_fixture.h"

#include <gtest/gtest.h>

#include <regex>

using velmora::cancel_sign_in;
using velmora::start_sign_in;

namespace {

class SignInTest : public ServerTest {
  protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        server.set_auth_callback_handler(velmora::handle_auth_callback);
        dock = connect();
        ASSERT_TRUE(wait_clients(false, 1));
    }
    std::string state_of(const std::string &url)
    {
        std::smatch match;
        EXPECT_TRUE(std::regex_search(url, match, std::regex("&state=([0-9a-f]{48})&")));
        return match[1];
    }
    // The status line of the callback's answer.
    std::string callback(const std::string &query, const std::string &method = "GET",
                         const std::string &body = "")
    {
        std::string raw = method + " /auth-callback" + query + " HTTP/1.1\r\nHost: " + host() + "\r\n";
        if (!body.empty())
            raw += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n";
        last = request(raw + "\r\n" + body);
        return last.substr(0, last.find("\r\n"));
    }

    std::unique_ptr<LoopbackClient> dock;
    std::string last;
};

} // namespace

// The launcher URL and the statuses of a sign-in's callbacks show in OBS itself.
TEST_F(SignInTest, AMatchingCallbackHandsTheTokenToTheDocksOnce)
{
    std::string state = state_of(start_sign_in(server, "apple"));
    EXPECT_EQ(callback("?state=" + state + "&idToken=abc.def&newUser=1"), "HTTP/1.1 302 Found");
    EXPECT_EQ(dock->read_frame().payload, R"({"event":"auth_token","idToken":"abc.def","isNewUser":true})");
    EXPECT_TRUE(log.contains("[velmora] Sign-in handed back to the dock"));

    EXPECT_EQ(callback("?state=" + state + "&idToken=abc.def"), "HTTP/1.1 403 Forbidden") << "a replay";
    EXPECT_NE(last.find("<b>That sign-in link expired</b>Start again from the Velmora dock in OBS."),
              std::string::npos);
    EXPECT_TRUE(log.contains("[velmora] Sign-in callback refused (no matching sign-in in progress)"));

    // A form body adds what the query lacks; a name in both keeps the query's value.
    state = state_of(start_sign_in(server, ""));
    EXPECT_EQ(callback("?idToken=from-query", "POST", "state=" + state + "&idToken=from-body&newUser=yes"),
              "HTTP/1.1 303 See Other");
    EXPECT_EQ(dock->read_frame().payload,
              R"({"event":"auth_token","idToken":"from-query","isNewUser":false})");
}

TEST_F(SignInTest, RefusalsAndBadTokens)
{
    for (const char *outside : {"Google", "", "github"})
        EXPECT_EQ(start_sign_in(server, outside).find("provider"), std::string::npos) << "named " << outside;
    EXPECT_EQ(callback("?state=&idToken=x"), "HTTP/1.1 403 Forbidden");
    std::string state = state_of(start_sign_in(server, ""));
    std::string newer = state_of(start_sign_in(server, ""));
    EXPECT_EQ(callback("?state=" + state + "&idToken=x"), "HTTP/1.1 403 Forbidden") << "replaced";

    EXPECT_EQ(callback("?state=" + newer + "&idToken=" + std::string(8193, 't')), "HTTP/1.1 400 Bad Request");
    EXPECT_NE(last.find("<b>Something went wrong</b>"), std::string::npos);
    EXPECT_EQ(callback("?state=" + newer + "&idToken=x"), "HTTP/1.1 403 Forbidden") << "used up by the 400";

    state = state_of(start_sign_in(server, ""));
    EXPECT_EQ(callback("?state=" + state + "&idToken="), "HTTP/1.1 400 Bad Request");

    state = state_of(start_sign_in(server, ""));
    EXPECT_EQ(callback("?state=" + state + "&idToken=" + std::string(8192, 't')), "HTTP/1.1 302 Found");
    EXPECT_EQ(dock->read_frame().payload.size(), 8192u + 53);

    state = state_of(start_sign_in(server, ""));
    {
        auto running = server.current_state();
        std::lock_guard guard(running->sign_in_lock);
        running->sign_in_expiry = std::chrono::steady_clock::now();
    }
    EXPECT_EQ(callback("?state=" + state + "&idToken=x"), "HTTP/1.1 403 Forbidden") << "expired";

    // The words come from translations: they are text, in a page that says its language.
    velmora::set_sign_in_words({"Link <i>abgelaufen</i>", "x", "Starte & \"neu\"", "y", "z"});
    EXPECT_EQ(callback("?state=&idToken=x"), "HTTP/1.1 403 Forbidden");
    velmora::set_sign_in_words({});
    EXPECT_NE(last.find("<html lang=\"en-US\">"), std::string::npos);
    EXPECT_NE(last.find("<b>Link &lt;i&gt;abgelaufen&lt;/i&gt;</b>Starte &amp; &quot;neu&quot;"),
              std::string::npos)
        << last;
}
