#include "server/http_request.h"

#include "server_fixture.h"

#include <gtest/gtest.h>

using velmora::HttpRequest;
using velmora::parse_content_length;
using velmora::parse_query;
using velmora::RequestAssembler;
using Status = RequestAssembler::Status;
using Query = std::map<std::string, std::string>;

namespace {

// Feeds the bytes in pieces of the given size, as separate receives would deliver them.
Status feed(RequestAssembler &assembler, const std::string &bytes, std::size_t piece = 4096)
{
    Status status = Status::need_more;
    for (std::size_t i = 0; i < bytes.size() && status == Status::need_more; i += piece)
        status = assembler.feed(bytes.data() + i, std::min(piece, bytes.size() - i));
    return status;
}

HttpRequest parse(const std::string &bytes, Status expected = Status::complete, std::size_t piece = 4096)
{
    RequestAssembler assembler;
    EXPECT_EQ(feed(assembler, bytes, piece), expected) << bytes.substr(0, 200);
    return assembler.request();
}

} // namespace

TEST(RequestParsing, RequestLinesPathsAndQueries)
{
    struct Case {
        const char *raw, *method, *path;
        Query query;
    } cases[] = {
        {"GET /dock/app.js?v=3&x HTTP/1.1\r\nHost: a\r\n\r\n",
         "GET",
         "/dock/app.js",
         {{"v", "3"}, {"x", ""}}},
        {"GET /a%20b HTTP/1.1\r\n\r\n", "GET", "/a%20b", {}},
        {"get /x HTTP/1.1\r\n\r\n", "get", "/x", {}},
        {"GET /only-target\r\n\r\n", "GET", "/only-target", {}},
        {"GET   /spaces   HTTP/1.1  extra\r\n\r\n", "GET", "/spaces", {}},
        {"GET /a?x=1?y=2 HTTP/1.1\r\n\r\n", "GET", "/a", {{"x", "1?y=2"}}},
        {"GET /lf HTTP/1.1\nHost: h\r\n\r\n", "GET", "/lf", {}},
    };
    for (const Case &c : cases) {
        HttpRequest request = parse(c.raw);
        EXPECT_EQ(request.method, c.method) << c.raw;
        EXPECT_EQ(request.path, c.path) << c.raw;
        EXPECT_EQ(request.query, c.query) << c.raw;
    }
    for (const char *bad : {"GET http://127.0.0.1/ HTTP/1.1\r\n\r\n", "OPTIONS * HTTP/1.1\r\n\r\n",
                            "GET\r\n\r\n", "\r\n\r\n", "\r\nGET / HTTP/1.1\r\n\r\n"})
        parse(bad, Status::failed);
    parse("GET / HTTP/1.1\n\n", Status::need_more); // the head still ends only at CR LF CR LF
}

TEST(RequestParsing, HeaderNamesAndValues)
{
    HttpRequest request =
        parse("GET / HTTP/1.1\r\nHOST:   127.0.0.1:1\r\nX-Space : v\r\nX-Tab:\tt  \r\nno colon line\r\n"
              "Dup: first\r\ndup: second\r\nLf: bare\nEmpty:\r\n\r\n");
    EXPECT_EQ(request.headers, (Query{{"host", "127.0.0.1:1"},
                                      {"x-space ", "v"},
                                      {"x-tab", "t  "},
                                      {"dup", "second"},
                                      {"lf", "bare"},
                                      {"empty", ""}}));
}

TEST(RequestParsing, SizesAndBodies)
{
    std::string raw = "POST /auth-callback?a=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello";
    EXPECT_EQ(parse(raw, Status::complete, 1).body, "hello") << "one byte at a time";

    std::string start = "GET / HTTP/1.1\r\nX: ";
    std::string fits = start + std::string(16384 - start.size() - 4, 'a') + "\r\n\r\n";
    parse(fits);
    parse(start + std::string(16384 - start.size() - 3, 'a') + "\r\n\r\n", Status::failed);
    parse(fits + "x", Status::failed, 12288); // the read that completes the head brings it over
    parse(std::string(20000, 'a'), Status::failed);

    auto with_length = [](const std::string &length, const std::string &body) {
        return "POST /x HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" + body;
    };
    EXPECT_EQ(parse(with_length("65536", std::string(65536, 'b'))).body.size(), 65536u);
    EXPECT_EQ(parse(with_length("abc", "ignored")).body, "");
    EXPECT_EQ(parse(with_length("3", "abcdef")).body, "abc");
    for (const char *refused : {"65537", "-1", "99999999999999999999"})
        parse(with_length(refused, ""), Status::failed);
    parse(with_length("10", "short"), Status::need_more);
    EXPECT_EQ(parse("POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n").body,
              "5\r\nhello\r\n0\r\n\r\n");

    for (auto [text, value] : {std::pair{"  42", 42u}, {"-4294967295", 1u}, {"4294967296", 4294967295u}})
        EXPECT_EQ(parse_content_length(text), value) << text;
}

TEST(QueryParsing, PiecesNamesAndValues)
{
    const std::pair<const char *, Query> cases[] = {
        {"", {}},
        {"&&a=1&&", {{"a", "1"}}},
        {"a=b=c", {{"a", "b=c"}}},
        {"a", {{"a", ""}}},
        {"=v", {{"", "v"}}},
        {"n%61me=a+b%26c", {{"name", "a b&c"}}},
        {"a%3D1=2", {{"a=1", "2"}}},
        {"x=1&%78=2", {{"x", "2"}}}, // a later decoded duplicate wins
    };
    for (const auto &[text, query] : cases)
        EXPECT_EQ(parse_query(text), query) << text;
}

// Over a real socket: the request loop assembles what comes, and answers nothing it cannot read.
class SocketRequestTest : public ServerTest {};

TEST_F(SocketRequestTest, ByteByByteIsServedAndUnreadableGetsNoReply)
{
    LoopbackClient slow(port);
    for (char c : "GET /dock/ HTTP/1.1\r\nHost: " + host() + "\r\n\r\n")
        ASSERT_TRUE(slow.send(std::string(1, c)));
    EXPECT_EQ(slow.read_all().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    EXPECT_EQ(request("GET http://x/ HTTP/1.1\r\nHost: " + host() + "\r\n\r\n"), "");
    LoopbackClient early(port); // closes before its body is complete
    early.send("POST /auth-callback HTTP/1.1\r\nHost: " + host() + "\r\nContent-Length: 10\r\n\r\nabc");
    shutdown(early.fd(), shut_write);
    EXPECT_EQ(early.read_all(), "");
}
