#pragma once

#include "loopback_client.h"
#include "../unit/test_folder.h"

#include "server/local_server.h"

#include <gtest/gtest.h>
#include <util/base.h>

#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

// Captures what the module logs through OBS's log handler.
class LogCapture {
  public:
    LogCapture() { base_set_log_handler(&LogCapture::handle, this); }
    ~LogCapture() { base_set_log_handler(nullptr, nullptr); }

    std::vector<std::string> lines()
    {
        std::lock_guard guard(lock_);
        return lines_;
    }
    bool contains(const std::string &line)
    {
        for (const auto &l : lines())
            if (l == line)
                return true;
        return false;
    }
    int count(const std::string &line)
    {
        int n = 0;
        for (const auto &l : lines())
            n += l == line;
        return n;
    }

  private:
    static void handle(int, const char *format, va_list args, void *param)
    {
        char text[4096];
        vsnprintf(text, sizeof text, format, args);
        auto *self = static_cast<LogCapture *>(param);
        std::lock_guard guard(self->lock_);
        self->lines_.emplace_back(text);
    }
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// Starts the process-wide server on a free port with a web folder of its own.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        folder.write("index.html", "<!doctype html><title>dock</title>");
        std::filesystem::create_directories(folder.file("assets"));
        folder.write("assets/app-3f2a.js", "console.log(1)");
        folder.write("logo.svg", "<svg/>");
        folder.write("photo.PNG", "png");
        folder.write("empty.css", "");
        folder.write("auth-done.html", "<!doctype html><title>done</title>");
        port = server.start(static_cast<std::uint16_t>(20000 + (getpid() % 20000)));
        ASSERT_NE(port, 0);
        server.state->web_root = folder.file("");
        server.set_bridge_handlers(nullptr, nullptr);
    }
    void TearDown() override
    {
        server.stop();
        server.set_bridge_handlers(nullptr, nullptr);
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

    LogCapture log;
    TestFolder folder;
    velmora::LocalServer &server = velmora::local_server();
    std::uint16_t port = 0;
};
