#include "server/websocket.h"

#include "server_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

using velmora::broadcast_bridge;
using velmora::publish_overlay_state;

namespace {

constexpr const char *bridge_token = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr const char *overlay_token = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

// Collects the messages handed to the bridge handler.
struct Inbox {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::string> messages;

    void add(const std::string &message)
    {
        std::lock_guard guard(lock);
        messages.push_back(message);
        arrived.notify_all();
    }
    bool wait_for(std::size_t count)
    {
        std::unique_lock guard(lock);
        return arrived.wait_for(guard, std::chrono::seconds(5), [&] { return messages.size() >= count; });
    }
};

class WebSocketTest : public ServerTest {
  protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        server.bridge_token = bridge_token;
        server.set_overlay_token(overlay_token);
        server.set_bridge_handlers([this](const std::string &message) { inbox.add(message); },
                                   [this] { connects++; });
    }

    std::string upgrade_request(const std::string &path, const std::string &token,
                                const std::string &extra = "", const std::string &method = "GET")
    {
        std::string origin = "http://127.0.0.1:" + std::to_string(port);
        return method + " " + path + "?token=" + token + " HTTP/1.1\r\nHost: " + host() +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
               "dGhlIHNhbXBsZSBub25jZQ==\r\n"
               "Sec-WebSocket-Version: 13\r\nOrigin: " +
               origin + "\r\n" + extra + "\r\n";
    }

    // Connects and completes the handshake; the client is ready for frames.
    std::unique_ptr<LoopbackClient> connect(const std::string &path = "/bridge",
                                            const std::string &token = bridge_token)
    {
        auto client = std::make_unique<LoopbackClient>(port);
        client->send(upgrade_request(path, token));
        std::string head = client->read_head();
        EXPECT_EQ(head, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
        return client;
    }

    std::size_t clients(bool overlay)
    {
        std::mutex &lock = overlay ? server.state->overlay_lock : server.state->bridge_lock;
        std::lock_guard guard(lock);
        return (overlay ? server.state->overlay_clients : server.state->bridge_clients).size();
    }

    bool wait_clients(bool overlay, std::size_t count)
    {
        for (int i = 0; i < 500; ++i) {
            if (clients(overlay) == count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    Inbox inbox;
    std::atomic<int> connects{0};
};

std::string refusal(LoopbackClient &client)
{
    std::string response = client.read_all();
    return response.substr(0, response.find("\r\n"));
}

} // namespace

TEST_F(WebSocketTest, BadUpgradeRequestsGet400)
{
    std::string good = upgrade_request("/bridge", bridge_token);
    auto without = [&](const std::string &header_line) {
        std::string raw = good;
        raw.erase(raw.find(header_line), header_line.size());
        return raw;
    };
    for (const std::string &raw :
         {upgrade_request("/bridge", bridge_token, "", "get"),
          upgrade_request("/bridge", bridge_token, "", "POST"), without("Upgrade: websocket\r\n"),
          without("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")}) {
        LoopbackClient client(port);
        client.send(raw);
        std::string response = client.read_all();
        EXPECT_EQ(response.substr(0, response.find("\r\n")), "HTTP/1.1 400 Bad Request");
        EXPECT_EQ(response.substr(response.size() - 11), "Bad request");
    }
    EXPECT_FALSE(log.contains("[velmora] Refused a bridge connection that is not ours"));
}

TEST_F(WebSocketTest, MixedCaseUpgradeIsAccepted)
{
    std::string raw = upgrade_request("/bridge", bridge_token);
    raw.replace(raw.find("Upgrade: websocket"), 18, "Upgrade: WebSocket");
    LoopbackClient client(port);
    client.send(raw);
    EXPECT_EQ(client.read_head().substr(0, 34), "HTTP/1.1 101 Switching Protocols\r\n");
}

TEST_F(WebSocketTest, WrongOriginOrTokenIsRefusedWith403AndLogged)
{
    std::string p = std::to_string(port);
    std::string near_token = bridge_token;
    near_token.back() = 'e';
    struct Case {
        std::string path, token, origin;
    } cases[] = {
        {"/bridge", bridge_token, "http://localhost:" + p},
        {"/bridge", bridge_token, "http://127.0.0.1:" + std::to_string(port + 1)},
        {"/bridge", bridge_token, ""},
        {"/bridge", near_token, "http://127.0.0.1:" + p},
        {"/bridge", "", "http://127.0.0.1:" + p},
        {"/bridge", overlay_token, "http://127.0.0.1:" + p},
        {"/overlay", bridge_token, "http://127.0.0.1:" + p},
    };
    for (const Case &c : cases) {
        std::string raw = upgrade_request(c.path, c.token);
        raw.replace(raw.find("Origin: "), raw.find("\r\n", raw.find("Origin: ")) - raw.find("Origin: "),
                    c.origin.empty() ? "X-None: 1" : "Origin: " + c.origin);
        LoopbackClient client(port);
        client.send(raw);
        EXPECT_EQ(refusal(client), "HTTP/1.1 403 Forbidden") << c.path << " " << c.origin;
    }
    EXPECT_EQ(log.count("[velmora] Refused a bridge connection that is not ours"), 6);
    EXPECT_EQ(log.count("[velmora] Refused a overlay connection that is not ours"), 1);

    // No token parameter at all.
    LoopbackClient client(port);
    std::string raw = upgrade_request("/bridge", bridge_token);
    raw.replace(raw.find("?token="), 7 + 64, "");
    client.send(raw);
    EXPECT_EQ(refusal(client), "HTTP/1.1 403 Forbidden");
}

TEST_F(WebSocketTest, EmptyExpectedTokenRefusesEveryone)
{
    server.bridge_token.clear();
    LoopbackClient client(port);
    client.send(upgrade_request("/bridge", ""));
    EXPECT_EQ(refusal(client), "HTTP/1.1 403 Forbidden");
}

TEST_F(WebSocketTest, FragmentedMessageArrivesOnceJoined)
{
    auto client = connect();
    client->send(LoopbackClient::client_frame(velmora::opcode_text, "{\"act", false) +
                 LoopbackClient::client_frame(velmora::opcode_continuation, "ion\":", false) +
                 LoopbackClient::client_frame(velmora::opcode_continuation, "\"hello\"}", true) +
                 LoopbackClient::client_frame(velmora::opcode_continuation, "starts-a-message", true) +
                 LoopbackClient::client_frame(velmora::opcode_binary, "ignored", true) +
                 LoopbackClient::client_frame(velmora::opcode_pong, "ignored", true) +
                 LoopbackClient::client_frame(velmora::opcode_text, "", true));
    ASSERT_TRUE(inbox.wait_for(3));
    std::lock_guard guard(inbox.lock);
    EXPECT_EQ(inbox.messages, (std::vector<std::string>{"{\"action\":\"hello\"}", "starts-a-message", ""}));
    EXPECT_EQ(connects.load(), 1);
}

TEST_F(WebSocketTest, PingGetsPongAndCloseGetsEmptyClose)
{
    auto client = connect();
    client->send(LoopbackClient::client_frame(velmora::opcode_ping, "x"));
    auto pong = client->read_frame();
    ASSERT_TRUE(pong.ok);
    EXPECT_EQ(pong.first, 0x8a);
    EXPECT_EQ(pong.payload, "x");

    client->send(LoopbackClient::client_frame(velmora::opcode_close, std::string("\x03\xe8", 2)));
    auto close = client->read_frame();
    ASSERT_TRUE(close.ok);
    EXPECT_EQ(close.first, 0x88);
    EXPECT_EQ(close.payload, "");
    EXPECT_TRUE(client->closed_by_peer());
    EXPECT_TRUE(wait_clients(false, 0));
}

TEST_F(WebSocketTest, SizeLimitsAndUnmaskedFramesEndTheConnection)
{
    {
        auto client = connect();
        // Announces 1048577 bytes and sends none: the connection ends before any payload is read.
        client->send(LoopbackClient::client_frame(velmora::opcode_text, "", true, true, 1048577));
        EXPECT_TRUE(client->closed_by_peer());
    }
    {
        auto client = connect();
        std::string fragment(600000, 'a');
        client->send(LoopbackClient::client_frame(velmora::opcode_text, fragment, false));
        client->send(LoopbackClient::client_frame(velmora::opcode_continuation, fragment, true, true));
        EXPECT_TRUE(client->closed_by_peer());
    }
    {
        auto client = connect();
        client->send(LoopbackClient::client_frame(velmora::opcode_text, "plain", true, false));
        EXPECT_TRUE(client->closed_by_peer());
    }
    {
        auto client = connect();
        std::string exact(1048576, 'm');
        client->send(LoopbackClient::client_frame(velmora::opcode_text, exact));
        ASSERT_TRUE(inbox.wait_for(1));
        EXPECT_EQ(inbox.messages[0].size(), 1048576u);
    }
    EXPECT_TRUE(inbox.messages.size() == 1);
}

TEST_F(WebSocketTest, BroadcastReachesEveryBridgeClientInWholeFrames)
{
    std::vector<std::unique_ptr<LoopbackClient>> docks;
    for (int i = 0; i < 3; ++i)
        docks.push_back(connect());
    auto overlay = connect("/overlay", overlay_token);
    ASSERT_TRUE(wait_clients(false, 3));
    ASSERT_TRUE(wait_clients(true, 1));

    // Several threads send at once while the docks read; every frame must arrive whole.
    std::vector<std::array<int, 4>> counts(docks.size());
    std::vector<std::thread> readers;
    for (std::size_t d = 0; d < docks.size(); ++d) {
        readers.emplace_back([&, d] {
            counts[d] = {};
            for (int i = 0; i < 100; ++i) {
                auto frame = docks[d]->read_frame();
                if (!frame.ok || frame.first != 0x81)
                    return;
                int t = frame.payload[0] - 'a';
                if (t < 0 || t >= 4 || frame.payload != std::string(70000 + t, static_cast<char>('a' + t)))
                    return;
                counts[d][t]++;
            }
        });
    }
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([t] {
            for (int i = 0; i < 25; ++i)
                broadcast_bridge(std::string(70000 + t, static_cast<char>('a' + t)));
        });
    }
    for (auto &sender : senders)
        sender.join();
    for (auto &reader : readers)
        reader.join();
    for (const auto &per_dock : counts)
        EXPECT_EQ(per_dock, (std::array<int, 4>{25, 25, 25, 25}));
    // Overlays never get bridge events.
    EXPECT_FALSE(overlay->closed_by_peer(200));
}

TEST_F(WebSocketTest, OverlayStateIsReplayedAndOverlayTextIsIgnored)
{
    auto early = connect("/overlay", overlay_token);
    ASSERT_TRUE(wait_clients(true, 1));
    publish_overlay_state("{\"chat\":1}");
    auto first = early->read_frame();
    EXPECT_EQ(first.payload, "{\"chat\":1}");
    publish_overlay_state("{\"chat\":2}");
    EXPECT_EQ(early->read_frame().payload, "{\"chat\":2}");

    auto late = connect("/overlay", overlay_token);
    auto replay = late->read_frame();
    ASSERT_TRUE(replay.ok);
    EXPECT_EQ(replay.payload, "{\"chat\":2}");
    EXPECT_TRUE(log.contains("[velmora] An overlay connected"));

    late->send(LoopbackClient::client_frame(velmora::opcode_text, "from an overlay"));
    late->send(LoopbackClient::client_frame(velmora::opcode_ping, "p"));
    EXPECT_EQ(late->read_frame().payload, "p");
    EXPECT_TRUE(inbox.messages.empty());
}

TEST_F(WebSocketTest, ClosingOverlaysKeepsTheStateAndTheBridge)
{
    auto dock = connect();
    auto overlay = connect("/overlay", overlay_token);
    ASSERT_TRUE(wait_clients(true, 1));
    publish_overlay_state("kept");
    EXPECT_EQ(overlay->read_frame().payload, "kept");

    velmora::close_overlay_clients();
    EXPECT_TRUE(overlay->closed_by_peer());
    EXPECT_TRUE(wait_clients(true, 0));
    EXPECT_EQ(clients(false), 1u);

    auto again = connect("/overlay", overlay_token);
    EXPECT_EQ(again->read_frame().payload, "kept");
}

TEST_F(WebSocketTest, ClientSetsFollowConnectionsAndDisconnections)
{
    auto a = connect();
    auto b = connect();
    auto o = connect("/overlay", overlay_token);
    ASSERT_TRUE(wait_clients(false, 2));
    ASSERT_TRUE(wait_clients(true, 1));
    a.reset();
    EXPECT_TRUE(wait_clients(false, 1));
    o.reset();
    EXPECT_TRUE(wait_clients(true, 0));
    broadcast_bridge("still here");
    EXPECT_EQ(b->read_frame().payload, "still here");
}

TEST_F(WebSocketTest, StopReturnsPromptlyWithClientsOpen)
{
    std::vector<std::unique_ptr<LoopbackClient>> open;
    for (int i = 0; i < 5; ++i)
        open.push_back(connect());
    open.push_back(connect("/overlay", overlay_token));
    ASSERT_TRUE(wait_clients(false, 5));

    auto started = std::chrono::steady_clock::now();
    server.stop();
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(5)) << "stop waited for open WebSocket clients";
    for (auto &client : open)
        EXPECT_TRUE(client->closed_by_peer());
    broadcast_bridge("after stop"); // no server state: nothing happens
}

TEST_F(WebSocketTest, SendsRacingClosesNeverReachAnotherConnection)
{
    // Broadcasting while clients come and go: each dock only ever sees whole frames of ours.
    std::atomic<bool> done{false};
    std::thread broadcaster([&] {
        while (!done)
            broadcast_bridge("tick");
    });
    for (int i = 0; i < 30; ++i) {
        auto client = connect();
        auto frame = client->read_frame();
        EXPECT_TRUE(frame.ok);
        EXPECT_EQ(frame.payload, "tick");
    }
    // A plain request made meanwhile gets exactly its own answer.
    std::string response = get("/dock/logo.svg");
    done = true;
    broadcaster.join();
    EXPECT_EQ(response.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(response.find("tick"), std::string::npos);
}

TEST_F(WebSocketTest, StopIsNotHeldUpByASendToADockThatStoppedReading)
{
    auto stuck = connect();
    ASSERT_TRUE(wait_clients(false, 1));
    int small = 4096;
    setsockopt(stuck->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    // Broadcast until a send blocks on the full socket buffers of a dock that never reads.
    std::atomic<int> sent{0};
    std::thread broadcaster([&] {
        std::string event(1048576, 'x');
        for (int i = 0; i < 64; ++i) {
            broadcast_bridge(event);
            sent++;
        }
    });
    int last = -1;
    for (int i = 0; i < 100 && sent.load() != last; ++i) {
        last = sent.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_LT(sent.load(), 64) << "the send never blocked; the test proves nothing";

    // Broadcasts may come from any thread, even while the server stops.
    auto started = std::chrono::steady_clock::now();
    server.stop();
    broadcaster.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}
