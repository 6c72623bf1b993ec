#include "server/local_server.h"

#include "server_fixture.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

using velmora::LocalServer;
using namespace std::chrono_literals;

namespace {

// Another program's socket on 127.0.0.1 (or any address) and the given port.
struct Blocker {
    Blocker(std::uint16_t port, bool reuse = false, bool any_address = false) : fd(open_test_socket())
    {
        int on = 1;
        if (reuse)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
        sockaddr_in address = loopback_address(port, any_address);
        bound =
            ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0;
    }
    ~Blocker() { close_test_socket(fd); }
    test_socket_t fd;
    bool bound;
};

std::string get_request(std::uint16_t port, const std::string &target = "/x")
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

// The descriptors the process holds; Wine cannot count a process's handles, so there the checks
// that need them are left to the Linux build.
std::size_t open_descriptors()
{
#ifdef _WIN32
    return 0;
#else
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
#endif
}
#ifdef _WIN32
constexpr bool descriptors_counted = false;
#else
constexpr bool descriptors_counted = true;
#endif

double cpu_seconds()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](FILETIME time) {
        return ((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

class ListenerTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        server.stop();
        unset_test_env("VELMORA_OBS_TEST_BRIDGE_TOKEN");
    }
    LogCapture log;
    LocalServer server;
};

} // namespace

// Moving to the next port, giving up after twenty, and the log lines are proven in OBS itself.
TEST_F(ListenerTest, CandidatesStopAtTheTopOfThePortRange)
{
    Blocker top(65535), below(65534);
    if (!top.bound || !below.bound)
        GTEST_SKIP() << "65534 and 65535 are in use here";
    EXPECT_EQ(server.start(65534), 0);
    EXPECT_EQ(server.port, 0);
}

// A restart after serving connections keeps its port: the module's life in OBS shows that.
TEST_F(ListenerTest, StartTwiceStopTwiceOurPortAndTokens)
{
    std::uint16_t port = server.start(process_port());
    ASSERT_NE(port, 0);
    for (auto [reuse, any] : {std::pair{false, false}, {true, false}, {true, true}})
        EXPECT_FALSE(Blocker(port, reuse, any).bound) << "another program bound our port";
    std::string token = server.bridge_token;
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(server.start(process_port() + 5), port);
    EXPECT_EQ(server.bridge_token, token);
    EXPECT_TRUE(log.contains("[velmora] The dock files are missing (data/web/index.html)"));
    server.set_overlay_token("abc");
    EXPECT_EQ(server.overlay_token(), "abc");
    server.stop();
    server.stop();
    EXPECT_EQ(server.port, 0);
    EXPECT_EQ(server.overlay_token(), "") << "no running state";
    EXPECT_NE(server.start(process_port()), 0);
    EXPECT_NE(server.bridge_token, token) << "every start makes a new token";
    server.stop();

    // A test token from the environment: 32 to 128 hex digits (lower-cased: the end-to-end suite's).
    const std::pair<std::string, bool> cases[] = {{std::string(31, 'a'), false},
                                                  {std::string(129, 'a'), false},
                                                  {std::string(63, 'a') + "g", false},
                                                  {std::string(32, 'b'), true},
                                                  {std::string(128, 'c'), true}};
    for (const auto &[value, used] : cases) {
        SCOPED_TRACE(value);
        set_test_env("VELMORA_OBS_TEST_BRIDGE_TOKEN", value);
        LogCapture capture;
        ASSERT_NE(server.start(process_port()), 0);
        EXPECT_EQ(server.bridge_token == value, used);
        EXPECT_EQ(capture.contains("[velmora] Using a test bridge token from the environment"), used);
        server.stop();
    }
}

// A prompt stop with a crowd of idle connections open is shown in OBS itself.
TEST_F(ListenerTest, ConnectionsOverTheCapAreClosedAtOnce)
{
    server.request_time_limit = 60s; // a slow (sanitized) run must not see held ones time out
    std::uint16_t port = server.start(process_port());
    ASSERT_NE(port, 0);
    std::size_t before = open_descriptors();
    // Idle connections, as a hostile local program would hold them.
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 150; ++i) {
        // A flood can overrun the listener's backlog; those connections never count.
        auto client = std::make_unique<LoopbackClient>(port);
        if (client->connected())
            idle.push_back(std::move(client));
    }
    ASSERT_GT(idle.size(), 80u);
    std::this_thread::sleep_for(300ms);
    if (descriptors_counted) {
        EXPECT_EQ(open_descriptors(), before + idle.size() + velmora::max_open_requests)
            << "ours and the server's";
    }
    std::size_t closed = 0;
    for (auto &client : idle)
        closed += client->closed_by_peer(0) ? 1 : 0;
    EXPECT_EQ(closed, idle.size() - velmora::max_open_requests);

    // A slot is free again as soon as a held connection ends.
    idle.front().reset();
    for (int i = 0; i < 500 && open_descriptors() > before + idle.size() - 1 + velmora::max_open_requests - 1;
         ++i)
        std::this_thread::sleep_for(10ms);
    if (!descriptors_counted)
        std::this_thread::sleep_for(500ms);
    LoopbackClient served(port);
    served.send(get_request(port));
    EXPECT_EQ(served.read_all().substr(0, 12), "HTTP/1.1 404");
}

TEST_F(ListenerTest, SlowPeersLoseTheirSlotAtTheTimeLimit)
{
    server.request_time_limit = 1s;
    std::uint16_t port = server.start(process_port());
    ASSERT_NE(port, 0);
    TestFolder folder;
    folder.write("big.bin", std::string(std::size_t{32} * 1024 * 1024, 'b'));
    server.current_state()->web_root = folder.file("");
    std::size_t before = open_descriptors();

    LoopbackClient sleeper(port, 4096); // asks for a large file and never reads it
    sleeper.send(get_request(port, "/dock/big.bin"));
    LoopbackClient dribbler(port); // a byte every 100 ms never completes a head
    for (int i = 0; descriptors_counted && i < 100 && open_descriptors() < before + 4; ++i)
        std::this_thread::sleep_for(10ms); // both accepted
    if (!descriptors_counted)
        std::this_thread::sleep_for(50ms);
    auto started = std::chrono::steady_clock::now();
    bool dribbler_closed = false;
    while ((descriptors_counted ? open_descriptors() > before + 2 : !dribbler_closed) &&
           std::chrono::steady_clock::now() - started < 3s) {
        dribbler.send("x");
        if (descriptors_counted)
            std::this_thread::sleep_for(100ms);
        else
            dribbler_closed = dribbler.closed_by_peer(100);
    }
    auto took = std::chrono::steady_clock::now() - started;
    if (descriptors_counted) {
        EXPECT_EQ(open_descriptors(), before + 2) << "the server still holds a slow peer";
    }
    EXPECT_GT(took, 900ms);
    EXPECT_TRUE(dribbler_closed || dribbler.closed_by_peer(0));
}

// Winsock reports a peer that shut its sending side as hung up while it may still read.
TEST_F(ListenerTest, APeerThatStopsSendingStillGetsTheWholeAnswerWithoutTheServerSpinning)
{
    std::uint16_t port = server.start(process_port());
    ASSERT_NE(port, 0);
    TestFolder folder;
    const std::string body(std::size_t{4} * 1024 * 1024, 'b');
    folder.write("big.bin", body);
    server.current_state()->web_root = folder.file("");
    LoopbackClient client(port, 4096);
    client.send(get_request(port, "/dock/big.bin"));
    ::shutdown(client.fd(), shut_write);
    std::this_thread::sleep_for(200ms); // the answer fills every buffer on the way
    double before = cpu_seconds();
    std::this_thread::sleep_for(500ms);
    double spent = cpu_seconds() - before;
    std::string answer = client.read_all();
    EXPECT_LT(spent, 0.1) << "the server spun while the peer did not read";
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    ASSERT_GE(answer.size(), body.size());
    EXPECT_EQ(answer.substr(answer.size() - body.size()), body);
}

// Windows has no per-process limit on sockets to lower.
#ifndef _WIN32
TEST_F(ListenerTest, OutOfDescriptorsTheServerWaitsInsteadOfSpinning)
{
    std::uint16_t port = server.start(process_port());
    ASSERT_NE(port, 0);
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = open_descriptors(); // no new descriptor for anyone in this process
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    double before = cpu_seconds();
    std::this_thread::sleep_for(1s);
    double used = cpu_seconds() - before;
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_LT(used, 0.3) << "the accept loop spun while the system refused descriptors";

    // Once descriptors are there again the waiting connection is served.
    std::string raw = get_request(port);
    ASSERT_EQ(::send(client, raw.data(), raw.size(), 0), static_cast<ssize_t>(raw.size()));
    char buffer[12] = {};
    timeval timeout{5, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    EXPECT_EQ(::recv(client, buffer, sizeof buffer, MSG_WAITALL), 12);
    EXPECT_EQ(std::string(buffer, 12), "HTTP/1.1 404");
    ::close(client);
}
#endif
