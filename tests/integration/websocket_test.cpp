#include "server/websocket.h"

#include "server_fixture.h"

#include <numeric>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>

using namespace velmora;

namespace {

constexpr auto frame = [](auto... words) { return LoopbackClient::frame(words...); };

class WebSocketTest : public ServerTest {
  protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        server.set_bridge_handlers(
            [this](const std::string &message) {
                std::lock_guard guard(lock);
                messages.push_back(message);
                arrived.notify_all();
            },
            [this] { connects++; });
    }
    bool wait_messages(std::size_t count)
    {
        std::unique_lock guard(lock);
        return arrived.wait_for(guard, std::chrono::seconds(5), [&] { return messages.size() >= count; });
    }
    std::string status_of(const std::string &raw)
    {
        LoopbackClient client(port);
        client.send(raw);
        std::string head = client.read_head();
        return head.substr(0, head.find("\r\n"));
    }

    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::string> messages;
    std::atomic<int> connects{0};
};

// A dock that stops reading has a tiny receive window and never calls recv.
constexpr int paused_window = 4096;

} // namespace

TEST_F(WebSocketTest, UpgradeChecks)
{
    std::string good = upgrade_request("/bridge", bridge_token);
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string raw = good;
        raw.replace(raw.find(from), from.size(), to);
        return raw;
    };
    std::string near_token = bridge_token;
    near_token.back() = 'e';
    std::string other_port = "http://127.0.0.1:" + std::to_string(port + 1);
    const std::pair<std::string, const char *> cases[] = {
        {replaced("GET ", "get "), "HTTP/1.1 400 Bad Request"},
        {replaced("GET ", "POST "), "HTTP/1.1 400 Bad Request"},
        {replaced("Upgrade: websocket\r\n", ""), "HTTP/1.1 400 Bad Request"},
        {replaced("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n", ""), "HTTP/1.1 400 Bad Request"},
        {replaced("Upgrade: websocket", "Upgrade: WebSocket"), "HTTP/1.1 101 Switching Protocols"},
        {upgrade_request("/bridge", bridge_token, "http://localhost:" + std::to_string(port)),
         "HTTP/1.1 403 Forbidden"},
        {upgrade_request("/bridge", bridge_token, other_port), "HTTP/1.1 403 Forbidden"},
        {replaced("Origin: ", "X-Origin: "), "HTTP/1.1 403 Forbidden"},
        {upgrade_request("/bridge", near_token), "HTTP/1.1 403 Forbidden"},
        {upgrade_request("/bridge", ""), "HTTP/1.1 403 Forbidden"},
        {replaced(std::string("?token=") + bridge_token, ""), "HTTP/1.1 403 Forbidden"},
        {upgrade_request("/bridge", overlay_token), "HTTP/1.1 403 Forbidden"},
        {upgrade_request("/overlay", bridge_token), "HTTP/1.1 403 Forbidden"},
    };
    for (const auto &[raw, status] : cases)
        EXPECT_EQ(status_of(raw), status) << raw;
    EXPECT_EQ(log.count("[velmora] Refused a bridge connection that is not ours"), 5)
        << "the first five of a minute";
    EXPECT_EQ(log.count("[velmora] Refused a overlay connection that is not ours"), 1);

    server.bridge_token.clear();
    EXPECT_EQ(status_of(upgrade_request("/bridge", "")), "HTTP/1.1 403 Forbidden")
        << "an empty token admits nobody";
    flush_refusal_warnings();
    flush_refusal_warnings();
    EXPECT_EQ(log.count("[velmora] Refused 3 more bridge connections that were not ours in the last minute"),
              1)
        << "held back lines are summed up once";
}

TEST_F(WebSocketTest, FramesPingsAndClose)
{
    auto client = connect();
    client->send(frame(opcode_text, "{\"act", false) + frame(opcode_continuation, "ion\":", false) +
                 frame(opcode_continuation, "\"hello\"}", true) +
                 frame(opcode_continuation, "starts-a-message") + frame(opcode_binary, "ignored") +
                 frame(opcode_pong, "ignored") + frame(opcode_text, ""));
    ASSERT_TRUE(wait_messages(3));
    EXPECT_EQ(messages, (std::vector<std::string>{"{\"action\":\"hello\"}", "starts-a-message", ""}));
    EXPECT_EQ(connects.load(), 1);

    client->send(frame(opcode_ping, "x"));
    auto pong = client->read_frame();
    EXPECT_EQ(pong.first, 0x8a);
    EXPECT_EQ(pong.payload, "x");
    client->send(frame(opcode_close, std::string("\x03\xe8", 2)));
    auto close = client->read_frame();
    EXPECT_EQ(close.first, 0x88);
    EXPECT_EQ(close.payload, "");
    EXPECT_TRUE(client->closed_by_peer());
    EXPECT_TRUE(wait_clients(false, 0));
}

TEST_F(WebSocketTest, SizeLimitsAndUnmaskedFramesEndTheConnection)
{
    const std::pair<std::string, const char *> endings[] = {
        {frame(opcode_text, "", true, true, 1048577), "announces 1048577 bytes"},
        {frame(opcode_text, std::string(600000, 'a'), false) +
             frame(opcode_continuation, std::string(600000, 'a')),
         "two fragments of 600000"},
        {frame(opcode_text, "plain", true, false), "unmasked"},
    };
    for (const auto &[bytes, what] : endings) {
        auto client = connect();
        client->send(bytes);
        EXPECT_TRUE(client->closed_by_peer()) << what;
    }
    auto client = connect();
    client->send(frame(opcode_text, std::string(1048576, 'm')));
    ASSERT_TRUE(wait_messages(1));
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].size(), 1048576u);
}

TEST_F(WebSocketTest, BroadcastsNeitherWaitForAPausedDockNorMixOrLoseFramesOfTheOthers)
{
    // A broadcast that waited for the paused dock would wait out this limit; the sends themselves
    // take well under half of it, even under Wine on a loaded machine.
    server.client_stall_limit = std::chrono::seconds(30);
    auto paused = connect("/bridge", bridge_token, paused_window);
    auto a = connect();
    auto b = connect();
    auto overlay = connect("/overlay", overlay_token);
    ASSERT_TRUE(wait_clients(false, 3) && wait_clients(true, 1));

    // Two threads at once, 6 MiB in all: more than a paused dock's socket and queue may hold.
    constexpr int per_thread = 3000;
    auto reader = [](LoopbackClient &client, std::vector<int>(&seen)[2]) {
        for (int i = 0; i < 2 * per_thread; ++i) {
            auto got = client.read_frame();
            if (!got.ok || got.first != 0x81 || got.payload.size() != 1024)
                return;
            seen[got.payload[0] - '0'].push_back(std::stoi(got.payload.substr(1, 7)));
        }
    };
    std::vector<int> seen_a[2], seen_b[2];
    std::thread read_a(reader, std::ref(*a), std::ref(seen_a));
    std::thread read_b(reader, std::ref(*b), std::ref(seen_b));
    auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; ++t)
        senders.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                char head[9];
                (void)std::snprintf(head, sizeof head, "%d%07d", t, i);
                broadcast_bridge(head + std::string(1016, 'p'));
            }
        });
    for (auto &thread : senders)
        thread.join();
    auto took = std::chrono::steady_clock::now() - started;
    read_a.join();
    read_b.join();
    EXPECT_LT(took, std::chrono::seconds(15)) << "a broadcast waited for a dock";
    std::vector<int> all(per_thread);
    std::iota(all.begin(), all.end(), 0);
    for (auto *seen : {seen_a, seen_b})
        EXPECT_TRUE(seen[0] == all && seen[1] == all) << "every whole frame, in each sender's order";
    EXPECT_TRUE(wait_clients(false, 2)) << "the dock whose queue passed its bound was closed";
    publish_overlay_state("first for the overlay");
    EXPECT_EQ(overlay->read_frame().payload, "first for the overlay") << "an overlay got a bridge event";
}

TEST_F(WebSocketTest, ADockThatTakesNothingForTheStallLimitIsClosed)
{
    server.client_stall_limit = std::chrono::milliseconds(300);
    auto paused = connect("/bridge", bridge_token, paused_window);
    auto reading = connect();
    ASSERT_TRUE(wait_clients(false, 2));
    // More than the system buffers for a client, less than its queue's bound; the reading dock
    // reads all along, so only the paused one stalls however slow the broadcasts are.
    int frames = 0;
    std::thread reader([&] {
        while (frames < 1500 && reading->read_frame().ok)
            ++frames;
    });
    for (int i = 0; i < 1500; ++i)
        broadcast_bridge(std::string(1024, 's'));
    reader.join();
    ASSERT_EQ(frames, 1500);
    EXPECT_TRUE(wait_clients(false, 1));
    broadcast_bridge("still here");
    EXPECT_EQ(reading->read_frame().payload, "still here");
}

TEST_F(WebSocketTest, OverlayStateIsPublishedAndReplayed)
{
    auto early = connect("/overlay", overlay_token);
    ASSERT_TRUE(wait_clients(true, 1));
    publish_overlay_state("{\"chat\":1}");
    EXPECT_EQ(early->read_frame().payload, "{\"chat\":1}");
    publish_overlay_state("{\"chat\":2}");
    EXPECT_EQ(early->read_frame().payload, "{\"chat\":2}");

    auto late = connect("/overlay", overlay_token);
    EXPECT_EQ(late->read_frame().payload, "{\"chat\":2}") << "the last state is replayed";
    EXPECT_EQ(log.count("[velmora] An overlay connected"), 2);
    late->send(frame(opcode_text, "from an overlay") + frame(opcode_ping, "p"));
    EXPECT_EQ(late->read_frame().payload, "p");
    EXPECT_TRUE(messages.empty()) << "overlay text never reaches the bridge";

    auto dock = connect();
    close_overlay_clients();
    EXPECT_TRUE(early->closed_by_peer() && late->closed_by_peer());
    EXPECT_TRUE(wait_clients(true, 0));
    EXPECT_TRUE(wait_clients(false, 1)) << "the dock stays";
    EXPECT_EQ(connect("/overlay", overlay_token)->read_frame().payload, "{\"chat\":2}")
        << "the state is kept";
}

TEST_F(WebSocketTest, AnOverlayLinkResetLeavesNoPageOfTheOldLinkConnected)
{
    // Pages of the old link reconnect at once, as overlay pages do; a handshake checked just before
    // a reset must not register after the reset has closed the overlays.
    const std::string old_token(64, 'a'), new_token(64, 'b');
    std::atomic<bool> stop{false};
    std::atomic<int> running{0};
    std::vector<std::thread> pages;
    for (int i = 0; i < 8; ++i) {
        running++;
        pages.emplace_back([&] {
            while (!stop) {
                LoopbackClient page(port);
                page.send(upgrade_request("/overlay", old_token));
                if (page.read_head().rfind("HTTP/1.1 101", 0) == 0)
                    page.read_all();
            }
            running--;
        });
    }
    std::size_t survivors = 0;
    for (int reset = 0; reset < 300; ++reset) {
        server.set_overlay_token(old_token);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        server.set_overlay_token(new_token);
        close_overlay_clients();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        survivors += clients(true);
        close_overlay_clients();
    }
    stop = true;
    while (running > 0) {
        close_overlay_clients();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto &page : pages)
        page.join();
    EXPECT_EQ(survivors, 0u) << "pages of the old link stayed connected after a reset";
}

TEST_F(WebSocketTest, StopIsPromptWithClientsOpenAndSendsBlockedAndRacesNoBroadcast)
{
    auto paused = connect("/bridge", bridge_token, paused_window);
    std::vector<std::unique_ptr<LoopbackClient>> open;
    for (int i = 0; i < 4; ++i)
        open.push_back(connect());
    open.push_back(connect("/overlay", overlay_token));
    ASSERT_TRUE(wait_clients(false, 5));
    std::atomic<bool> done{false};
    std::thread broadcaster([&] {
        while (!done)
            broadcast_bridge(std::string(65536, 'x'));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    auto started = std::chrono::steady_clock::now();
    server.stop();
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(1));
    for (auto &client : open)
        EXPECT_TRUE(client->closed_by_peer());
    // Broadcasts go on while OBS stops and starts the server: a race on the running state shows
    // under ThreadSanitizer.
    for (int i = 0; i < 100 && server.start(process_port()) != 0; ++i)
        server.stop();
    done = true;
    broadcaster.join();
}
