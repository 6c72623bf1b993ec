// The update client against the test update server over loopback.
#include "update/https_get.h"
#include "update/update_state.h"
#include "platform/files.h"
#include "platform/text.h"
#include "../unit/test_folder.h"
#include "update_servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

using namespace velmora;

TEST(SplitUrl, AcceptsHttpsAndTheLoopbackTestOriginOnly)
{
    struct Case {
        const char *url;
        bool ok;
        bool secure = false;
        const char16_t *host = u"";
        std::uint16_t port = 0;
        const char16_t *path = u"";
    } cases[] = {
        {"http://127.0.0.1:8080/x", true, false, u"127.0.0.1", 8080, u"/x"},
        {"https://example.com", true, true, u"example.com", 443, u"/"},
        {"https://example.com:8443/a/b?c=d&e", true, true, u"example.com", 8443, u"/a/b?c=d&e"},
        {"https://example.com:70000/", false}, // no such port, not a wrapped one
        {"https://example.com:/", false},
        {"http://localhost:8080/x", false},
        {"http://127.0.0.1/x", false},
        {"http://example.com/", false},
        {"ftp://example.com/", false},
        {"HTTPS://example.com/", false},
        {"https://example.com:abc/", false},
        {"https://:443/", false},
        {"https:///x", false},
    };
    for (const Case &c : cases) {
        UrlParts parts;
        ASSERT_EQ(split_url(c.url, parts), c.ok) << c.url;
        if (!c.ok)
            continue;
        EXPECT_EQ(parts.secure, c.secure) << c.url;
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
        EXPECT_EQ(parts.path, c.path) << c.url;
    }
}

// Stopping mid-request is shown in OBS itself: its exit with the check or download stalled.
class HttpsGet : public UpdateServerTest {
  protected:
    struct Result {
        bool ok;
        int status = -1;
        std::uint64_t received = 0;
        std::string body, error;
        std::vector<std::uint64_t> totals;
    };
    static Result get(const std::string &path, std::uint64_t cap, platform::File *file = nullptr)
    {
        Result r;
        r.ok = https_get(
            server->origin() + path, &r.body, file, cap, r.status, r.received,
            [&](std::uint64_t, std::uint64_t total) { r.totals.push_back(total); }, r.error);
        return r;
    }
};

TEST_F(HttpsGet, SendsTheClientHeadersAndReadsStatusBodyAndLimits)
{
    server->set_routes("{}");
    get("/x?y=1", 100);
    std::string seen = server->requests();
    for (const char *expected :
         {R"("target":"/x?y=1")", R"("user-agent":"VelmoraForOBS/1.0.1")", R"("x-client-name":"velmora-obs")",
          R"("x-client-version":"1.0.1")", R"("x-client-platform":"windows")",
          R"("accept":"application/json, application/octet-stream")"})
        EXPECT_NE(seen.find(expected), std::string::npos) << expected << " in " << seen;

    std::string ten(10, 'x'), big(300000, 'y');
    server->set_routes(R"({"/ten": {"body": ")" + ten + R"("}, "/gone": {"status": 404, "body": "gone"},
        "/big": {"body": ")" +
                       big + R"(", "length": "none"}, "/moved": {"status": 302, "location": "/ten"},
        "/short": {"body": ")" +
                       big + R"(", "sendBytes": 40000}})");
    struct Case {
        const char *path;
        std::uint64_t cap;
        bool ok;
        int status;
        std::uint64_t received;
        const char *error;
    } cases[] = {{"/ten", 10, true, 200, 10, ""},
                 {"/ten", 9, false, 200, 10, "too big"},
                 {"/gone", 100, true, 404, 4, ""},
                 {"/moved", 100, true, 200, 10, ""},
                 {"/big", 1 << 20, true, 200, 300000, ""},
                 {"/short", 1 << 20, false, 200, 40000, "connection dropped"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        Result r = get(c.path, c.cap);
        EXPECT_EQ(std::tie(r.ok, r.status, r.received, r.error),
                  std::tie(c.ok, c.status, c.received, c.error));
    }
    // Without a length the progress callback is told the total is 0; with one, that length.
    Result unannounced = get("/big", 1 << 20);
    ASSERT_FALSE(unannounced.totals.empty());
    EXPECT_EQ(unannounced.totals.back(), 0u);
    Result ten_bytes = get("/ten", 10);
    EXPECT_EQ(ten_bytes.totals, std::vector<std::uint64_t>{10});
    EXPECT_EQ(ten_bytes.body, ten);
}

TEST_F(HttpsGet, AStopEndsATransferAtOnce)
{
    // A body at about 100 kB/s, and a server that never answers: the stop comes in the middle.
    server->set_routes(R"({"/slow": {"body": ")" + std::string(300000, 'z') +
                       R"(", "chunkBytes": 2000, "chunkDelayMs": 20}, "/silent": {"stall": true}})");
    for (const char *path : {"/slow", "/silent"}) {
        SCOPED_TRACE(path);
        auto started = std::chrono::steady_clock::now();
        std::thread stopper([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            updater_stop_signal().raise();
        });
        Result r = get(path, 1 << 20);
        auto took = std::chrono::steady_clock::now() - started;
        stopper.join();
        updater_stop_signal().clear();
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "stopping");
        EXPECT_LT(r.received, 300000u);
        // Far below any of the transfer's own time-outs.
        EXPECT_LT(took, std::chrono::seconds(3));
    }
}

#ifndef _WIN32
// Run by the stalled_resolver test, in a namespace of its own whose resolv.conf names 127.0.0.1: the
// socket below takes the lookups there and never answers them.
TEST(StalledResolver, AStopDoesNotWaitForANameLookup)
{
    if (!std::getenv("VELMORA_TEST_STALLED_RESOLVER"))
        GTEST_SKIP() << "needs the stalled_resolver test's own resolv.conf";
    int resolver = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback_address(53);
    ASSERT_EQ(::bind(resolver, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    auto started = std::chrono::steady_clock::now();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        updater_stop_signal().raise();
    });
    std::string body, error;
    int status = 0;
    std::uint64_t received = 0;
    bool ok =
        https_get("https://updates.velmora.test/api", &body, nullptr, 1000, status, received, nullptr, error);
    auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    updater_stop_signal().clear();
    char query[512];
    EXPECT_GT(::recv(resolver, query, sizeof query, MSG_DONTWAIT), 0)
        << "the lookup never reached the resolver";
    ::close(resolver);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "stopping");
    // The lookup itself would take minutes.
    EXPECT_LT(took, std::chrono::seconds(3));
}
#endif

TEST_F(HttpsGet, ReportsWhyItFailed)
{
    // A port nobody listens on.
    test_socket_t probe = open_test_socket();
    sockaddr_in address = loopback_address(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length), 0);
    close_test_socket(probe);
    std::string closed = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    // An HTTPS server whose certificate nobody trusts.
    UpdateServer tls(true);
    ASSERT_NE(tls.port(), 0);
    std::string untrusted = "https://127.0.0.1:" + std::to_string(tls.port()) + "/";

    struct Case {
        std::string url, error;
    } cases[] = {
        {closed, "no answer"},
        {untrusted, "no answer"},
        {"http://localhost:80/", "bad url"},
        {"file:///etc/passwd", "bad url"},
#ifdef _WIN32
        {"https://user@example.com/", "no answer"}, // WinHTTP takes the name and fails to resolve it
#else
        {"https://user@example.com/", "no connection"},
#endif
    };
    for (const Case &c : cases) {
        int status = 7;
        std::uint64_t received = 7;
        std::string error;
        EXPECT_FALSE(https_get(c.url, nullptr, nullptr, 100, status, received, nullptr, error)) << c.url;
        EXPECT_EQ(error, c.error) << c.url;
        // A refused URL leaves the outputs as they were; any other failure starts from zero.
        EXPECT_EQ(status, c.error == "bad url" ? 7 : 0) << c.url;
    }
}

// A file size limit makes the write fail as on a full disk; Windows has no such limit to set.
#ifndef _WIN32
TEST_F(HttpsGet, ReportsAFileThatCannotBeWritten)
{
    server->set_routes(R"({"/big": {"body": ")" + std::string(300000, 'y') + R"("}})");
    TestFolder folder;
    platform::File file = platform::File::create_for_writing(platform::utf8_to_utf16(folder.file("out")));
    ASSERT_TRUE(file.valid());
    // The file may not grow past 100 kB: the write fails as on a full disk.
    // Only the soft limit: a hard limit once lowered cannot be raised again without privilege,
    // and later tests in the process would inherit it.
    rlimit old_limit;
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small{100000, old_limit.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Result r = get("/big", 1 << 20, &file);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "disk");
}
#endif
