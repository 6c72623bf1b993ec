#include "server/local_server.h"

#include "server_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <thread>

using velmora::LocalServer;

namespace {

// Another program's socket on 127.0.0.1 (or any address) and the given port.
class Blocker {
  public:
    Blocker(std::uint16_t port, bool reuse = false, bool any_address = false)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        if (reuse)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(any_address ? INADDR_ANY : INADDR_LOOPBACK);
        bound =
            ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0;
    }
    ~Blocker() { ::close(fd); }
    int fd;
    bool bound;
};

std::uint16_t test_port(int offset)
{
    return static_cast<std::uint16_t>(30000 + (getpid() % 10000) * 2 + offset);
}

class ListenerTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        server.stop();
        unsetenv("VELMORA_OBS_TEST_BRIDGE_TOKEN");
    }
    LogCapture log;
    LocalServer server;
};

} // namespace

TEST_F(ListenerTest, BusyPortMovesToTheNextFreeOne)
{
    std::uint16_t first = test_port(0);
    Blocker a(first), b(static_cast<std::uint16_t>(first + 1));
    ASSERT_TRUE(a.bound && b.bound);
    EXPECT_EQ(server.start(first), first + 2);
    EXPECT_EQ(server.port, first + 2);
    EXPECT_TRUE(log.contains("[velmora] Dock server on 127.0.0.1:" + std::to_string(first + 2)));
}

TEST_F(ListenerTest, NoOtherProgramCanBindOurPort)
{
    std::uint16_t port = server.start(test_port(0));
    ASSERT_NE(port, 0);
    EXPECT_FALSE(Blocker(port).bound);
    EXPECT_FALSE(Blocker(port, true).bound);
    EXPECT_FALSE(Blocker(port, true, true).bound);
}

TEST_F(ListenerTest, RestartAfterServedConnectionsKeepsThePort)
{
    std::uint16_t port = server.start(test_port(0));
    ASSERT_NE(port, 0);
    for (int i = 0; i < 3; ++i) {
        LoopbackClient client(port);
        client.send("GET /x HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
        EXPECT_FALSE(client.read_all().empty());
    }
    server.stop();
    EXPECT_EQ(server.start(port), port) << "lingering connections of the last run moved the port";
}

TEST_F(ListenerTest, AllTwentyCandidatesBusy)
{
    std::vector<std::unique_ptr<Blocker>> blockers;
    std::uint16_t first = test_port(0);
    for (int i = 0; i < 20; ++i) {
        blockers.push_back(std::make_unique<Blocker>(static_cast<std::uint16_t>(first + i)));
        ASSERT_TRUE(blockers.back()->bound);
    }
    EXPECT_EQ(server.start(first), 0);
    EXPECT_EQ(server.port, 0);
    EXPECT_TRUE(log.contains("[velmora] Could not open a local port for the dock"));
    server.stop();
    server.stop();

    // The 21st port is never tried.
    blockers.erase(blockers.begin());
    EXPECT_EQ(server.start(first), first);
}

TEST_F(ListenerTest, CandidatesStopAtTheTopOfTheRange)
{
    Blocker top(65535);
    if (!top.bound)
        GTEST_SKIP() << "port 65535 is in use on this machine";
    Blocker below(65534);
    ASSERT_TRUE(below.bound);
    EXPECT_EQ(server.start(65534), 0);
    EXPECT_TRUE(log.contains("[velmora] Could not open a local port for the dock"));
}

TEST_F(ListenerTest, StartTwiceKeepsPortAndToken)
{
    std::uint16_t port = server.start(test_port(0));
    ASSERT_NE(port, 0);
    std::string token = server.bridge_token;
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(server.start(test_port(5)), port);
    EXPECT_EQ(server.bridge_token, token);
    server.stop();
    EXPECT_EQ(server.port, 0);
    EXPECT_EQ(server.state, nullptr);
    server.stop();
    EXPECT_NE(server.start(test_port(0)), 0);
    EXPECT_NE(server.bridge_token, token) << "every start makes a new token";
}

TEST_F(ListenerTest, TestBridgeTokenFromTheEnvironment)
{
    struct Case {
        std::string value;
        bool used;
    } cases[] = {
        {std::string(31, 'a'), false}, {std::string(129, 'a'), false}, {std::string(63, 'a') + "g", false},
        {std::string(32, 'b'), true},  {std::string(128, 'c'), true},  {std::string(64, 'D'), true},
    };
    for (const Case &c : cases) {
        setenv("VELMORA_OBS_TEST_BRIDGE_TOKEN", c.value.c_str(), 1);
        LogCapture capture;
        ASSERT_NE(server.start(test_port(0)), 0);
        std::string lower = c.value;
        for (char &ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(server.bridge_token == lower, c.used) << c.value;
        EXPECT_EQ(server.bridge_token.size(), c.used ? c.value.size() : 64u);
        EXPECT_EQ(capture.contains("[velmora] Using a test bridge token from the environment"), c.used);
        server.stop();
    }
}

TEST_F(ListenerTest, MissingWebFilesStillStartTheServer)
{
    ASSERT_NE(server.start(test_port(0)), 0);
    EXPECT_TRUE(log.contains("[velmora] The dock files are missing (data/web/index.html)"));
    EXPECT_TRUE(server.state->web_root.empty());
}

TEST_F(ListenerTest, OverlayTokenNeedsARunningState)
{
    server.set_overlay_token("ignored");
    EXPECT_EQ(server.overlay_token(), "");
    ASSERT_NE(server.start(test_port(0)), 0);
    server.set_overlay_token("abc");
    EXPECT_EQ(server.overlay_token(), "abc");
}

TEST_F(ListenerTest, FinishedConnectionThreadsAreReaped)
{
    std::uint16_t port = server.start(test_port(0));
    ASSERT_NE(port, 0);
    for (int i = 0; i < 40; ++i) {
        LoopbackClient client(port);
        client.send("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
        client.read_all();
    }
    std::size_t remaining = 40;
    for (int i = 0; i < 40 && remaining > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard guard(server.state->threads_lock);
        remaining = server.state->threads.size();
    }
    EXPECT_EQ(remaining, 0u);
}

TEST_F(ListenerTest, StopWaitsForASilentClientOnlyUntilItsTimeOut)
{
    std::uint16_t port = server.start(test_port(0));
    ASSERT_NE(port, 0);
    LoopbackClient silent(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(700)); // accepted and waiting for a request
    auto started = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(11));
    EXPECT_TRUE(silent.closed_by_peer(1000));
}

TEST_F(ListenerTest, StopIsNotHeldUpByADribblingOrNonReadingClient)
{
    std::uint16_t port = server.start(test_port(0));
    ASSERT_NE(port, 0);
    TestFolder folder;
    folder.write("big.bin", std::string(32 * 1024 * 1024, 'b'));
    server.state->web_root = folder.file("");

    // One byte every 2 s never completes a head, however long it goes on.
    std::atomic<bool> done{false};
    std::thread dribbler([&] {
        LoopbackClient client(port);
        for (char c : std::string("GET /dock/ HTTP/1.1\r\nHost: 127.0.0.1:1\r\n")) {
            if (done || !client.send(std::string(1, c)))
                break;
            for (int i = 0; i < 20 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // A client that asks for a large file and never reads it.
    LoopbackClient sleeper(port);
    int small = 4096;
    setsockopt(sleeper.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sleeper.send("GET /dock/big.bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::seconds(1));

    auto started = std::chrono::steady_clock::now();
    server.stop();
    auto took = std::chrono::steady_clock::now() - started;
    done = true;
    dribbler.join();
    EXPECT_LT(took, std::chrono::seconds(12)) << "stop waited on a client that never finishes";
}
