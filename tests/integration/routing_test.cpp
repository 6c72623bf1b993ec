#include "server/http_response.h"
#include "server/static_files.h"

#include "server_fixture.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

// A header's value in a raw response, or "-" when it has none.
std::string header(const std::string &response, const std::string &name)
{
    std::size_t at = response.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > response.find("\r\n\r\n"))
        return "-";
    std::size_t start = at + name.size() + 4;
    return response.substr(start, response.find("\r\n", start) - start);
}

std::string body(const std::string &response)
{
    return response.substr(response.find("\r\n\r\n") + 4);
}

} // namespace

// The heads and the policy as they go out are checked over the socket below.
TEST(Responses, TypesAndPaths)
{
    for (auto [path, type] :
         {std::pair{"index.html", "text/html; charset=utf-8"}, {"html", "application/octet-stream"}})
        EXPECT_EQ(mime_type_for(path), type) << path;
    EXPECT_TRUE(is_safe_path("assets/app-3f2a.js") && is_safe_path(std::string(200, 'a')));
    for (const std::string &bad :
         {std::string(201, 'a'), std::string(), std::string("/etc/passwd"), std::string("a..b"),
          std::string("a\\b"), std::string("c:x"), std::string("%69ndex.html"), std::string("a b"),
          std::string("\xC3\xA9"), std::string("a\0b", 3)})
        EXPECT_FALSE(is_safe_path(bad)) << bad;
}

class RoutingTest : public ServerTest {};

TEST_F(RoutingTest, RoutesAnswersAndCacheRules)
{
    struct Case {
        std::string method, target, status, header_name, header_value, body;
    } cases[] = {
        {"GET", "/dock/index.html", "200 OK", "Cache-Control", "no-store",
         "<!doctype html><title>dock</title>"},
        {"GET", "/dock/assets/app-3f2a.js", "200 OK", "Cache-Control", "public, max-age=31536000, immutable",
         "console.log(1)"},
        {"GET", "/dock/assets/app-3f2a.js", "200 OK", "Content-Security-Policy", "-", "console.log(1)"},
        {"GET", "/dock/logo.svg", "200 OK", "Cache-Control", "no-cache", "<svg/>"},
        {"GET", "/dock/photo.PNG", "200 OK", "Content-Type", "application/octet-stream", "png"},
        {"GET", "/dock/empty.css", "200 OK", "Content-Length", "0", ""},
        {"POST", "/auth-done?x=1", "200 OK", "Cache-Control", "no-store",
         "<!doctype html><title>done</title>"},
        {"GET", "/auth-callback?state=x", "404 Not Found", "Content-Type", "text/plain",
         "Not found"}, // no sign-in
        {"POST", "/dock", "302 Found", "Location", "/dock/", ""},
        {"HEAD", "/dock/index.html", "404 Not Found", "Content-Type", "text/plain", "Not found"},
        {"get", "/dock/index.html", "404 Not Found", "Content-Type", "text/plain", "Not found"},
    };
    std::string dock = get("/dock/"), policy = header(dock, "Content-Security-Policy");
    EXPECT_EQ(body(dock), "<!doctype html><title>dock</title>");
    for (const std::string &directive :
         {std::string("; script-src 'self';"), std::string("; frame-ancestors 'none'"),
          "; connect-src 'self' ws://127.0.0.1:" + std::to_string(port) + " "})
        EXPECT_NE(policy.find(directive), std::string::npos) << policy;
    EXPECT_EQ(get("/", "DELETE"), "HTTP/1.1 302 Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
                                  "Connection: close\r\nX-Content-Type-Options: nosniff\r\n"
                                  "Referrer-Policy: no-referrer\r\nLocation: /dock/\r\n\r\n");
    for (const Case &c : cases) {
        std::string response = get(c.target, c.method);
        EXPECT_EQ(response.substr(0, response.find("\r\n")), "HTTP/1.1 " + c.status)
            << c.method << " " << c.target;
        EXPECT_EQ(header(response, c.header_name), c.header_value) << c.target;
        EXPECT_EQ(body(response), c.body) << c.target;
    }
    for (const char *target : {"/bridge/", "/Dock/", "/favicon.ico", "/dock/photo.PNG/", "/dock//etc/passwd",
                               "/dock/assets/../index.html", "/dock/%69ndex.html", "/dock/missing.html",
                               "/dock/assets/", "/dockx"})
        EXPECT_EQ(get(target).substr(0, 22), "HTTP/1.1 404 Not Found") << target;

    std::string big(3 * 1048576 + 17, 'z');
    big[1048576] = 'q';
    folder.write("assets/big.bin", big);
    EXPECT_TRUE(body(get("/dock/assets/big.bin")) == big);
    folder.write("auth-done.html", "<!doctype html><title>changed on disk</title>");
    EXPECT_EQ(body(get("/auth-done")), "<!doctype html><title>changed on disk</title>")
        << "a stale copy was served";

    // A page in the language the query names, where the build wrote one; the page itself otherwise.
    folder.write("index.de-DE.html", "dock de");
    folder.write("logo.de-DE.svg", "svg de");
    folder.write("auth-done.ja-JP.html", "done ja");
    const std::pair<const char *, const char *> languages[] = {
        {"/dock/?lang=de-DE", "dock de"},
        {"/dock/index.html?x=1&lang=de-DE", "dock de"},
        {"/dock/?lang=fr-FR", "<!doctype html><title>dock</title>"},
        {"/dock/?lang=de-DE/../../x", "<!doctype html><title>dock</title>"},
        {"/dock/logo.svg?lang=de-DE", "<svg/>"},
        {"/auth-done?lang=ja-JP", "done ja"},
        {"/dock/?lang=", "<!doctype html><title>dock</title>"}};
    for (const auto &[target, page] : languages)
        EXPECT_EQ(body(get(target)), page) << target;

    server.current_state()->web_root.clear();
    EXPECT_EQ(get("/dock/").substr(0, 22), "HTTP/1.1 404 Not Found") << "the web files went missing";
}

TEST_F(RoutingTest, HostCheckComesFirst)
{
    std::string p = std::to_string(port);
    auto with_host = [&](const std::string &target, const std::string &host_line) {
        return request("GET " + target + " HTTP/1.1\r\n" + host_line + "Upgrade: websocket\r\n\r\n");
    };
    EXPECT_EQ(with_host("/dock/", "Host: localhost:" + p + "\r\n").substr(0, 15), "HTTP/1.1 200 OK");
    for (const std::string &bad :
         {"Host: LOCALHOST:" + p + "\r\n", "Host: 127.0.0.1:" + std::to_string(port + 1) + "\r\n",
          std::string("Host: 127.0.0.1\r\n"), std::string(), "Host: [::1]:" + p + "\r\n",
          "Host: localhost.:" + p + "\r\n", "Host: 127.0.0.1:" + p + " \r\n",
          "Host: 127.0.0.1:0" + p + "\r\n"}) {
        for (const char *target : {"/dock/", "/auth-callback?state=x", "/bridge"}) {
            std::string response = with_host(target, bad);
            EXPECT_EQ(response.substr(0, response.find("\r\n")), "HTTP/1.1 403 Forbidden") << bad << target;
            EXPECT_EQ(body(response), "Forbidden");
        }
    }
}
