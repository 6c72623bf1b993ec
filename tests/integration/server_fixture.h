#pragma once

#include "loopback_client.h"
#include "../unit/log_capture.h"
#include "../unit/test_folder.h"

#include "server/local_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

// Each test runs in a process of its own, several at once: each process gets 30 ports of its own.
inline std::uint16_t process_port()
{
    return static_cast<std::uint16_t>(20000 + (test_process_id() % 1500) * 30);
}

// Starts the process-wide server on a free port with a web folder of its own.
class ServerTest : public ::testing::Test {
  protected:
    static constexpr const char *bridge_token =
        "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    static constexpr const char *overlay_token =
        "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

    void SetUp() override
    {
        folder.write("index.html", "<!doctype html><title>dock</title>");
        std::filesystem::create_directories(folder.file("assets"));
        folder.write("assets/app-3f2a.js", "console.log(1)");
        folder.write("logo.svg", "<svg/>");
        folder.write("photo.PNG", "png");
        folder.write("empty.css", "");
        folder.write("auth-done.html", "<!doctype html><title>done</title>");
        port = server.start(process_port());
        ASSERT_NE(port, 0);
        server.current_state()->web_root = folder.file("");
        server.bridge_token = bridge_token;
        server.set_overlay_token(overlay_token);
    }
    void TearDown() override
    {
        server.stop();
        server.set_bridge_handlers(nullptr, nullptr);
        server.set_auth_callback_handler(nullptr);
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port); }

    // One plain request; returns everything the server sent before closing.
    std::string request(const std::string &raw)
    {
        LoopbackClient client(port);
        EXPECT_TRUE(client.connected());
        client.send(raw);
        return client.read_all();
    }
    std::string get(const std::string &target, const std::string &method = "GET")
    {
        return request(method + " " + target + " HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    }

    std::string upgrade_request(const std::string &path, const std::string &token,
                                const std::string &origin = "")
    {
        return "GET " + path + "?token=" + token + " HTTP/1.1\r\nHost: " + host() +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
               "dGhlIHNhbXBsZSBub25jZQ==\r\n"
               "Sec-WebSocket-Version: 13\r\nOrigin: " +
               (origin.empty() ? server.origin() : origin) + "\r\n\r\n";
    }
    // Connects and completes the handshake; the client is ready for frames.
    std::unique_ptr<LoopbackClient> connect(const std::string &path = "/bridge",
                                            const std::string &token = bridge_token, int receive_buffer = 0)
    {
        auto client = std::make_unique<LoopbackClient>(port, receive_buffer);
        client->send(upgrade_request(path, token));
        EXPECT_EQ(client->read_head(),
                  "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                  "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
        return client;
    }
    std::size_t clients(bool overlay)
    {
        auto state = server.current_state();
        std::lock_guard guard(overlay ? state->overlay_lock : state->bridge_lock);
        return (overlay ? state->overlay_clients : state->bridge_clients).size();
    }
    // Waits until the client set has count clients (connections register on their own thread).
    bool wait_clients(bool overlay, std::size_t count)
    {
        for (int i = 0; i < 500; ++i) {
            if (clients(overlay) == count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    LogCapture log;
    TestFolder folder;
    velmora::LocalServer &server = velmora::local_server();
    std::uint16_t port = 0;
};
