#pragma once

// The test update servers (tests/e2e/lib/update_server.js), plain and HTTPS with an untrusted certificate.
#include "loopback_client.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

// Started once for the run, before the tests (tests/integration/update-servers.sh: Wine cannot
// start a Linux program), and found by their port files.
class UpdateServer {
  public:
    explicit UpdateServer(bool tls = false)
    {
        std::ifstream(std::string(VELMORA_UPDATE_SERVERS) + (tls ? "/tls.port" : "/plain.port")) >> port_;
    }
    std::uint16_t port() const { return port_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Replaces the routes (a JSON object of path to route) and forgets the requests seen.
    void set_routes(const std::string &json) { call("POST", "/__routes", json); }
    // The requests seen since, as JSON.
    std::string requests() { return call("GET", "/__requests", ""); }

  private:
    std::string call(const char *method, const char *path, const std::string &body)
    {
        LoopbackClient client(port_);
        client.send(std::string(method) + " " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body);
        std::string reply = client.read_all();
        std::size_t end = reply.find("\r\n\r\n");
        return end == std::string::npos ? "" : reply.substr(end + 4);
    }

    std::uint16_t port_ = 0;
};

// The plain test update server, its routes set by each test.
class UpdateServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server = new UpdateServer(); }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override { ASSERT_NE(server->port(), 0); }
    static inline UpdateServer *server = nullptr;
};
