#include "server/http_response.h"
#include "server/static_files.h"

#include "server_fixture.h"

#include <gtest/gtest.h>

using velmora::content_security_policy;
using velmora::is_safe_path;
using velmora::message_page;
using velmora::mime_type_for;
using velmora::response_head;

namespace {

std::string header(const std::string &response, const std::string &name)
{
    std::size_t head_end = response.find("\r\n\r\n");
    std::string key = "\r\n" + name + ": ";
    std::size_t at = response.find(key);
    if (at == std::string::npos || at > head_end)
        return "<missing>";
    std::size_t start = at + key.size();
    return response.substr(start, response.find("\r\n", start) - start);
}

std::string body(const std::string &response)
{
    std::size_t head_end = response.find("\r\n\r\n");
    return head_end == std::string::npos ? "" : response.substr(head_end + 4);
}

std::string status_line(const std::string &response)
{
    return response.substr(0, response.find("\r\n"));
}

} // namespace

TEST(Responses, HeadHasTheFixedHeadersInOrder)
{
    EXPECT_EQ(response_head(404, "text/plain", 9, {}),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\nConnection: "
              "close\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n\r\n");
    EXPECT_EQ(response_head(302, "text/plain", 0, {{"Location", "/dock/"}, {"X-B", "2"}}),
              "HTTP/1.1 302 Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: "
              "close\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\nLocation: "
              "/dock/\r\nX-B: 2\r\n\r\n");
    EXPECT_EQ(response_head(500, "a", 0, {}).substr(0, 23), "HTTP/1.1 500 Error\r\nCon");
    EXPECT_STREQ(velmora::status_text(303), "See Other");
    EXPECT_STREQ(velmora::status_text(405), "Method Not Allowed");
}

TEST(Responses, ContentTypesAndSafePaths)
{
    const std::pair<const char *, const char *> types[] = {
        {"index.html", "text/html; charset=utf-8"},
        {"assets/app.mjs", "text/javascript; charset=utf-8"},
        {"a.woff", "font/woff"},
        {"a.woff2", "font/woff2"},
        {"a.jpeg", "image/jpeg"},
        {"photo.PNG", "application/octet-stream"},
        {"html", "application/octet-stream"},
        {"sound.mp3", "audio/mpeg"},
    };
    for (auto [path, type] : types)
        EXPECT_EQ(mime_type_for(path), type) << path;
    EXPECT_TRUE(is_safe_path("assets/app-3f2a.js"));
    EXPECT_TRUE(is_safe_path(std::string(200, 'a')));
    for (const std::string &bad :
         {std::string(201, 'a'), std::string(), std::string("/etc/passwd"), std::string("a/../b"),
          std::string("a..b"), std::string("a\\b"), std::string("c:x"), std::string("%69ndex.html"),
          std::string("a b"), std::string("\xC3\xA9"), std::string("a\0b", 3)})
        EXPECT_FALSE(is_safe_path(bad)) << bad;
}

TEST(Responses, MessagePageIsTheFixedCard)
{
    std::string page = message_page("Title", "Text.");
    EXPECT_EQ(page.rfind("<!doctype html><html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
                         "content=\"width=device-width,initial-scale=1\"><title>Title</title><style>",
                         0),
              0u);
    EXPECT_NE(page.find("background:#17122b;color:#fff8e8;"), std::string::npos);
    EXPECT_NE(page.find("</style></head><body><div><b>Title</b>Text.</div></body></html>"),
              std::string::npos);
}

TEST(Responses, PolicyNamesThePortAndFixedOrigins)
{
    std::string policy = content_security_policy(41471);
    EXPECT_EQ(policy.rfind("default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src "
                           "'self' data: blob: https:; font-src 'self' data:; media-src 'self' data:; "
                           "connect-src 'self' ws://127.0.0.1:41471 https://",
                           0),
              0u)
        << policy;
    EXPECT_NE(policy.find(" wss://"), std::string::npos);
    std::string end = "; frame-src 'none'; object-src 'none'; base-uri 'none'; form-action 'none'; "
                      "frame-ancestors 'none'";
    EXPECT_EQ(policy.substr(policy.size() - end.size()), end);
}

class RoutingTest : public ServerTest {};

TEST_F(RoutingTest, DockIndexWithHtmlHeaders)
{
    std::string response = get("/dock/");
    EXPECT_EQ(status_line(response), "HTTP/1.1 200 OK");
    EXPECT_EQ(header(response, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(header(response, "Cache-Control"), "no-store");
    EXPECT_EQ(header(response, "Content-Security-Policy"), content_security_policy(port));
    EXPECT_EQ(header(response, "Content-Length"), "34");
    EXPECT_EQ(body(response), "<!doctype html><title>dock</title>");
    EXPECT_EQ(get("/dock/index.html"), response);
}

TEST_F(RoutingTest, StaticFilesCacheRules)
{
    std::string script = get("/dock/assets/app-3f2a.js");
    EXPECT_EQ(header(script, "Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(header(script, "Cache-Control"), "public, max-age=31536000, immutable");
    EXPECT_EQ(header(script, "Content-Security-Policy"), "<missing>");
    EXPECT_EQ(header(get("/dock/logo.svg"), "Cache-Control"), "no-cache");
    EXPECT_EQ(header(get("/dock/photo.PNG"), "Content-Type"), "application/octet-stream");

    std::string empty = get("/dock/empty.css");
    EXPECT_EQ(status_line(empty), "HTTP/1.1 200 OK");
    EXPECT_EQ(header(empty, "Content-Length"), "0");
    EXPECT_EQ(body(empty), "");
}

TEST_F(RoutingTest, LargeFileArrivesWhole)
{
    std::string big(3 * 1048576 + 17, 'z');
    big[1048576] = 'q';
    folder.write("assets/big.bin", big);
    std::string response = get("/dock/assets/big.bin");
    EXPECT_EQ(header(response, "Content-Length"), std::to_string(big.size()));
    EXPECT_TRUE(body(response) == big);
}

TEST_F(RoutingTest, HostCheckComesFirst)
{
    std::string p = std::to_string(port);
    auto with_host = [&](const std::string &target, const std::string &host_line) {
        return request("GET " + target + " HTTP/1.1\r\n" + host_line + "\r\n");
    };
    EXPECT_EQ(status_line(with_host("/dock/", "Host: localhost:" + p + "\r\n")), "HTTP/1.1 200 OK");
    for (const std::string &bad :
         {"Host: LOCALHOST:" + p + "\r\n", "Host: 127.0.0.1:" + std::to_string(port + 1) + "\r\n",
          std::string("Host: 127.0.0.1\r\n"), std::string(), "Host: [::1]:" + p + "\r\n",
          "Host: localhost.:" + p + "\r\n", "Host: 127.0.0.1:" + p + " \r\n",
          "Host: 127.0.0.1:0" + p + "\r\n"}) {
        std::string response = with_host("/dock/", bad);
        EXPECT_EQ(status_line(response), "HTTP/1.1 403 Forbidden") << bad;
        EXPECT_EQ(body(response), "Forbidden");
    }
    EXPECT_EQ(status_line(with_host("/auth-callback?state=x", "Host: evil\r\n")), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(status_line(get("/auth-callback?state=x")), "HTTP/1.1 404 Not Found") << "no sign-in installed";
    EXPECT_EQ(status_line(with_host("/bridge", "Host: evil\r\nUpgrade: websocket\r\n")),
              "HTTP/1.1 403 Forbidden");
    EXPECT_FALSE(log.contains("[velmora] Sign-in callback refused (no matching sign-in in progress)"));
}

TEST_F(RoutingTest, RedirectsAndNotFound)
{
    for (const char *method : {"GET", "POST", "DELETE"}) {
        for (const char *target : {"/", "/dock"}) {
            std::string response = get(target, method);
            EXPECT_EQ(status_line(response), "HTTP/1.1 302 Found");
            EXPECT_EQ(header(response, "Location"), "/dock/");
            EXPECT_EQ(header(response, "Content-Length"), "0");
            EXPECT_EQ(body(response), "");
        }
    }
    for (const char *target :
         {"/bridge/", "/Dock/", "/favicon.ico", "/dock/photo.PNG/", "/dock//etc/passwd", "/dock/../x",
          "/dock/%69ndex.html", "/dock/missing.html", "/dock/assets/", "/dockx"}) {
        std::string response = get(target);
        EXPECT_EQ(status_line(response), "HTTP/1.1 404 Not Found") << target;
        EXPECT_EQ(body(response), "Not found");
        EXPECT_EQ(header(response, "Content-Type"), "text/plain");
    }
    EXPECT_EQ(status_line(get("/dock/index.html", "HEAD")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(status_line(get("/dock/index.html", "POST")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(status_line(get("/dock/index.html", "get")), "HTTP/1.1 404 Not Found");
}

TEST_F(RoutingTest, AuthDoneIsAnHtmlPageAndFilesChangeOnDisk)
{
    std::string response = get("/auth-done?x=1", "POST");
    EXPECT_EQ(status_line(response), "HTTP/1.1 200 OK");
    EXPECT_EQ(header(response, "Cache-Control"), "no-store");
    EXPECT_NE(header(response, "Content-Security-Policy"), "<missing>");
    EXPECT_EQ(body(get("/auth-done")), "<!doctype html><title>done</title>");
    folder.write("auth-done.html", "<!doctype html><title>changed on disk</title>");
    EXPECT_EQ(body(get("/auth-done")), "<!doctype html><title>changed on disk</title>")
        << "a stale copy was served";

    server.state->web_root.clear();
    EXPECT_EQ(status_line(get("/dock/")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(status_line(get("/auth-done")), "HTTP/1.1 404 Not Found");
}
