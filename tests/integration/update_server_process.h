#pragma once

// The test update server (tests/e2e/lib/update_server.js) in its own process, stopped by PID.
#include "loopback_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fstream>

// Wine cannot start a Linux program: the test run starts the servers before the tests
// (tests/windows/update-servers.sh) and they are found by their port files.
class UpdateServerProcess {
  public:
    explicit UpdateServerProcess(const std::string &tls_cert = "", const std::string & = "")
    {
        std::ifstream(std::string(VELMORA_UPDATE_SERVERS) +
                      (tls_cert.empty() ? "/plain.port" : "/tls.port")) >>
            port_;
    }
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

class UpdateServerProcess {
  public:
    // tls: a certificate and key to serve HTTPS with instead of plain HTTP.
    explicit UpdateServerProcess(const std::string &tls_cert = "", const std::string &tls_key = "")
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        std::vector<std::string> words = {"node", VELMORA_UPDATE_SERVER_SCRIPT};
        if (!tls_cert.empty())
            words.insert(words.end(), {"--tls", tls_cert, tls_key});
        std::vector<char *> argv;
        for (auto &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        FILE *stream = fdopen(out[0], "r");
        if (stream && std::fscanf(stream, "port %hu", &port_) != 1)
            port_ = 0;
        if (stream)
            std::fclose(stream);
    }
    ~UpdateServerProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

  private:
    pid_t pid_ = 0;

  public:
#endif
    std::uint16_t port() const
    {
        return port_;
    }
    std::string origin() const
    {
        return "http://127.0.0.1:" + std::to_string(port_);
    }

    // Replaces the routes (a JSON object of path to route) and forgets the requests seen.
    void set_routes(const std::string &json)
    {
        call("POST", "/__routes", json);
    }
    // The requests seen since, as JSON.
    std::string requests()
    {
        return call("GET", "/__requests", "");
    }

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

// One test update server for a suite (each test runs in a process of its own).
class UpdateServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server = new UpdateServerProcess(); }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override { ASSERT_NE(server->port(), 0); }
    static inline UpdateServerProcess *server = nullptr;
};
