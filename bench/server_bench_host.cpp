// Benchmark host for the loopback server, outside OBS.
//   server_bench_host serve <web folder> <port>   serve files until stdin closes
//   server_bench_host websocket                   measure WebSocket round trips and broadcasts
#include "server/local_server.h"
#include "server/websocket.h"

#include "../tests/integration/loopback_client.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;
using velmora::local_server;

namespace {

constexpr const char *token = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

std::unique_ptr<LoopbackClient> connect_bridge(std::uint16_t port)
{
    auto client = std::make_unique<LoopbackClient>(port);
    std::string host = "127.0.0.1:" + std::to_string(port);
    client->send("GET /bridge?token=" + std::string(token) + " HTTP/1.1\r\nHost: " + host +
                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                 "dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\nOrigin: http://" +
                 host + "\r\n\r\n");
    if (client->read_head().rfind("HTTP/1.1 101", 0) != 0) {
        (void)std::fprintf(stderr, "handshake failed\n");
        std::exit(1);
    }
    return client;
}

int serve(const char *folder, int port)
{
    std::uint16_t bound = local_server().start(static_cast<std::uint16_t>(port));
    if (!bound)
        return 1;
    local_server().current_state()->web_root = std::string(folder) + "/";
    std::printf("listening %u\n", bound);
    (void)std::fflush(stdout);
    char c;
    while (std::fread(&c, 1, 1, stdin) == 1) {
    }
    local_server().stop();
    return 0;
}

// What a broadcast costs the thread that makes it (OBS's main thread, for send_state): 50 docks
// that read, then the same with one of them paused (its socket and queue fill up).
void broadcast_cost(std::uint16_t port)
{
    constexpr int docks = 50;
    constexpr int rounds = 1000;
    std::string state(600, 's'); // the size of a state event
    auto measure = [&](bool one_paused) {
        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < docks; ++i) {
            bool paused = one_paused && i == 0;
            auto client = std::make_unique<LoopbackClient>(port, paused ? 4096 : 0);
            std::string host = "127.0.0.1:" + std::to_string(port);
            client->send("GET /bridge?token=" + std::string(token) + " HTTP/1.1\r\nHost: " + host +
                         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                         "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: http://" +
                         host + "\r\n\r\n");
            client->read_head();
            clients.push_back(std::move(client));
        }
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard guard(local_server().current_state()->bridge_lock);
                if (local_server().current_state()->bridge_clients.size() == docks)
                    break;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        std::atomic<bool> done{false};
        std::vector<std::thread> readers;
        for (int d = one_paused ? 1 : 0; d < docks; ++d)
            readers.emplace_back([&, d] {
                while (!done && clients[d]->read_frame().ok) {
                }
            });
        std::vector<double> micros;
        for (int r = 0; r < rounds; ++r) {
            std::this_thread::sleep_for(milliseconds(2));
            auto start = steady_clock::now();
            velmora::broadcast_bridge(state);
            micros.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
        }
        done = true;
        for (auto &client : clients)
            ::shutdown(client->fd(), SHUT_RDWR);
        for (auto &reader : readers)
            reader.join();
        clients.clear();
        std::this_thread::sleep_for(milliseconds(300));
        return micros;
    };
    auto reading = measure(false);
    auto paused = measure(true);
    std::printf("cost of one 600-byte broadcast to %d docks on the calling thread (%d rounds): "
                "all reading p50 %.1f us, p99 %.1f us, max %.1f us; one paused p50 %.1f us, p99 %.1f us, "
                "max %.1f us\n",
                docks, rounds, percentile(reading, 0.5), percentile(reading, 0.99), percentile(reading, 1.0),
                percentile(paused, 0.5), percentile(paused, 0.99), percentile(paused, 1.0));
}

int websocket()
{
    std::uint16_t port = local_server().start(47100);
    if (!port)
        return 1;
    local_server().bridge_token = token;

    // Round trip: a ping frame out, its pong back, one at a time.
    {
        auto client = connect_bridge(port);
        std::string ping = LoopbackClient::frame(velmora::opcode_ping, "rtt");
        std::vector<double> micros;
        for (int i = 0; i < 20000; ++i) {
            auto start = steady_clock::now();
            client->send(ping);
            auto pong = client->read_frame();
            if (!pong.ok)
                return 1;
            if (i >= 1000)
                micros.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
        }
        std::printf("websocket ping->pong round trip: p50 %.1f us, p99 %.1f us (%zu samples)\n",
                    percentile(micros, 0.5), percentile(micros, 0.99), micros.size());
    }

    // Broadcast: one 1 KiB event to 50 docks, timed until the last one has all of it.
    constexpr int docks = 50;
    constexpr int rounds = 300;
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < docks; ++i)
        clients.push_back(connect_bridge(port));
    for (int i = 0; i < 200 &&
                    [&] {
                        std::lock_guard guard(local_server().current_state()->bridge_lock);
                        return local_server().current_state()->bridge_clients.size() < docks;
                    }();
         ++i)
        std::this_thread::sleep_for(milliseconds(10));

    std::string event(1024, 'e');
    std::vector<std::vector<steady_clock::time_point>> arrivals(
        docks, std::vector<steady_clock::time_point>(rounds));
    std::vector<std::thread> readers;
    for (int d = 0; d < docks; ++d) {
        readers.emplace_back([&, d] {
            for (int r = 0; r < rounds; ++r) {
                auto frame = clients[d]->read_frame();
                arrivals[d][r] = steady_clock::now();
                if (!frame.ok || frame.payload.size() != 1024)
                    std::exit(1);
            }
        });
    }
    std::vector<steady_clock::time_point> sent(rounds);
    for (int r = 0; r < rounds; ++r) {
        std::this_thread::sleep_for(milliseconds(5)); // let every reader wait again
        sent[r] = steady_clock::now();
        velmora::broadcast_bridge(event);
    }
    for (auto &reader : readers)
        reader.join();
    std::vector<double> all_have_it, call;
    for (int r = 0; r < rounds; ++r) {
        steady_clock::time_point last = sent[r];
        for (int d = 0; d < docks; ++d)
            last = std::max(last, arrivals[d][r]);
        all_have_it.push_back(duration<double, std::milli>(last - sent[r]).count());
    }
    std::printf("broadcast of 1 KiB to %d docks, until all have it: p50 %.3f ms, p99 %.3f ms, max %.3f ms "
                "(%d rounds)\n",
                docks, percentile(all_have_it, 0.5), percentile(all_have_it, 0.99),
                percentile(all_have_it, 1.0), rounds);
    clients.clear();
    broadcast_cost(port);
    local_server().stop();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "serve") == 0)
        return serve(argv[2], static_cast<int>(std::strtol(argv[3], nullptr, 10)));
    if (argc == 2 && std::strcmp(argv[1], "websocket") == 0)
        return websocket();
    (void)std::fprintf(stderr, "usage: %s serve <folder> <port> | websocket\n", argv[0]);
    return 2;
}
