#include "server/http_request.h"

#include "server_fixture.h"

#include <gtest/gtest.h>

#include <thread>

using velmora::HttpRequest;
using velmora::parse_content_length;
using velmora::parse_query;
using velmora::RequestAssembler;
using Status = RequestAssembler::Status;

namespace {

// Feeds the bytes in pieces of the given size, as separate receives would deliver them.
Status feed(RequestAssembler &assembler, const std::string &bytes, std::size_t piece = 4096)
{
    Status status = Status::need_more;
    for (std::size_t i = 0; i < bytes.size() && status == Status::need_more; i += piece)
        status = assembler.feed(bytes.data() + i, std::min(piece, bytes.size() - i));
    return status;
}

HttpRequest parse(const std::string &bytes, Status expected = Status::complete)
{
    RequestAssembler assembler;
    EXPECT_EQ(feed(assembler, bytes), expected) << bytes.substr(0, 200);
    return assembler.request();
}

} // namespace

TEST(RequestParsing, RequestLinePathAndQuery)
{
    HttpRequest request = parse("GET /dock/app.js?v=3&x HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/dock/app.js");
    EXPECT_EQ(request.query, (std::map<std::string, std::string>{{"v", "3"}, {"x", ""}}));

    EXPECT_EQ(parse("GET /a?b=1&b=2 HTTP/1.1\r\n\r\n").query.at("b"), "2");
    EXPECT_EQ(parse("GET /a%20b HTTP/1.1\r\n\r\n").path, "/a%20b");
    EXPECT_EQ(parse("get /x HTTP/1.1\r\n\r\n").method, "get");
    EXPECT_EQ(parse("GET /only-target\r\n\r\n").path, "/only-target");
    EXPECT_EQ(parse("GET   /spaces   HTTP/1.1  extra\r\n\r\n").path, "/spaces");
    EXPECT_EQ(parse("GET /a?x=1?y=2 HTTP/1.1\r\n\r\n").query.at("x"), "1?y=2");
}

TEST(RequestParsing, MalformedRequestLinesFail)
{
    parse("GET http://127.0.0.1/ HTTP/1.1\r\n\r\n", Status::failed);
    parse("OPTIONS * HTTP/1.1\r\n\r\n", Status::failed);
    parse("GET\r\n\r\n", Status::failed);
    parse("\r\n\r\n", Status::failed);
    parse("\r\nGET / HTTP/1.1\r\n\r\n", Status::failed);
}

TEST(RequestParsing, HeaderNamesAndValues)
{
    HttpRequest request = parse("GET / HTTP/1.1\r\nHOST:   127.0.0.1:1\r\nX-Space : v\r\n"
                                "X-Tab:\tt  \r\nno colon line\r\nDup: first\r\ndup: second\r\n"
                                "Empty:\r\n\r\n");
    EXPECT_EQ(request.headers.at("host"), "127.0.0.1:1");
    EXPECT_EQ(request.headers.at("x-space "), "v");
    EXPECT_EQ(request.headers.count("x-space"), 0u);
    EXPECT_EQ(request.headers.at("x-tab"), "t  ") << "trailing white space stays";
    EXPECT_EQ(request.headers.at("dup"), "second");
    EXPECT_EQ(request.headers.at("empty"), "");
    EXPECT_EQ(request.headers.size(), 5u);
}

TEST(RequestParsing, BareLineFeedsInsideTheHead)
{
    HttpRequest request = parse("GET /lf HTTP/1.1\nHost: h\nA: b\r\n\r\n");
    EXPECT_EQ(request.path, "/lf");
    EXPECT_EQ(request.headers.at("host"), "h");
    EXPECT_EQ(request.headers.at("a"), "b");
    // Without the blank line as CR LF CR LF the head never ends.
    RequestAssembler assembler;
    EXPECT_EQ(feed(assembler, "GET / HTTP/1.1\n\n"), Status::need_more);
}

TEST(RequestParsing, OneByteAtATime)
{
    std::string raw = "POST /auth-callback?a=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello";
    RequestAssembler assembler;
    EXPECT_EQ(feed(assembler, raw, 1), Status::complete);
    EXPECT_EQ(assembler.request().body, "hello");
    EXPECT_EQ(assembler.request().query.at("a"), "1");
}

TEST(RequestParsing, HeadSizeLimit)
{
    std::string start = "GET / HTTP/1.1\r\nX: ";
    std::string fits = start + std::string(16384 - start.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), 16384u);
    parse(fits);
    parse(start + std::string(16384 - start.size() - 3, 'a') + "\r\n\r\n", Status::failed);
    // A read that completes the head but brings the total over the limit fails too.
    RequestAssembler overfull;
    EXPECT_EQ(feed(overfull, fits + "x", 12288), Status::failed);
    RequestAssembler endless;
    EXPECT_EQ(feed(endless, std::string(20000, 'a')), Status::failed);
}

TEST(RequestParsing, ContentLengthRules)
{
    auto with_length = [](const std::string &length, const std::string &body) {
        return "POST /x HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" + body;
    };
    EXPECT_EQ(parse(with_length("65536", std::string(65536, 'b'))).body.size(), 65536u);
    parse(with_length("65537", ""), Status::failed);
    EXPECT_EQ(parse(with_length("abc", "ignored")).body, "");
    EXPECT_EQ(parse(with_length("3", "abcdef")).body, "abc");
    EXPECT_EQ(parse(with_length("0", "GET / HTTP/1.1\r\n\r\n")).body, "");
    parse(with_length("-1", ""), Status::failed);
    parse(with_length("99999999999999999999", ""), Status::failed);
    parse(with_length("10", "short"), Status::need_more);

    HttpRequest chunked =
        parse("POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(chunked.body, "5\r\nhello\r\n0\r\n\r\n");
}

TEST(RequestParsing, ContentLengthReadsLikeStrtoul)
{
    EXPECT_EQ(parse_content_length("  42"), 42u);
    EXPECT_EQ(parse_content_length("+7"), 7u);
    EXPECT_EQ(parse_content_length("12abc"), 12u);
    EXPECT_EQ(parse_content_length(""), 0u);
    EXPECT_EQ(parse_content_length("x1"), 0u);
    EXPECT_EQ(parse_content_length("-1"), 4294967295u);
    EXPECT_EQ(parse_content_length("-4294967295"), 1u);
    EXPECT_EQ(parse_content_length("4294967295"), 4294967295u);
    EXPECT_EQ(parse_content_length("4294967296"), 4294967295u);
    EXPECT_EQ(parse_content_length("-99999999999"), 4294967295u);
}

TEST(QueryParsing, PiecesNamesAndValues)
{
    EXPECT_TRUE(parse_query("").empty());
    EXPECT_EQ(parse_query("&&a=1&&"), (std::map<std::string, std::string>{{"a", "1"}}));
    EXPECT_EQ(parse_query("a=b=c").at("a"), "b=c");
    EXPECT_EQ(parse_query("a").at("a"), "");
    EXPECT_EQ(parse_query("=v").at(""), "v");
    EXPECT_EQ(parse_query("n%61me=a+b%26c").at("name"), "a b&c");
    EXPECT_EQ(parse_query("a%3D1=2").at("a=1"), "2");
    EXPECT_EQ(parse_query("x=1&%78=2").at("x"), "2") << "later decoded duplicate wins";
}

// The same rules hold over a real socket, including the receive time-out.
class SocketRequestTest : public ServerTest {};

TEST_F(SocketRequestTest, RequestSentOneByteAtATimeIsServed)
{
    LoopbackClient client(port);
    std::string raw = "GET /dock/ HTTP/1.1\r\nHost: " + host() + "\r\n\r\n";
    for (char c : raw)
        ASSERT_TRUE(client.send(std::string(1, c)));
    std::string response = client.read_all();
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
}

TEST_F(SocketRequestTest, UnreadableRequestsGetNoReply)
{
    EXPECT_EQ(request("GET http://x/ HTTP/1.1\r\nHost: " + host() + "\r\n\r\n"), "");
    EXPECT_EQ(request(std::string(17000, 'a')), "");
    EXPECT_EQ(request("POST /x HTTP/1.1\r\nHost: " + host() + "\r\nContent-Length: 65537\r\n\r\n"), "");

    // The peer closing before the body is complete.
    LoopbackClient client(port);
    client.send("POST /auth-callback HTTP/1.1\r\nHost: " + host() + "\r\nContent-Length: 10\r\n\r\nabc");
    shutdown(client.fd(), SHUT_WR);
    EXPECT_EQ(client.read_all(), "");
}
