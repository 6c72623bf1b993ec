#pragma once

#include "platform/socket.h"
#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velmora {

using platform::socket_t;
class Client;

struct ConnectionThread {
    platform::Thread thread;
    std::atomic<bool> finished{false};
};

// Exists from a start until the following stop.
struct ServerState {
    std::atomic<bool> running{false};
    bool networking_started = false;
    socket_t listen_socket = platform::invalid_socket;
    std::thread accept_thread;

    std::mutex threads_lock;
    std::list<std::unique_ptr<ConnectionThread>> threads;

    std::mutex bridge_lock;
    std::list<std::shared_ptr<Client>> bridge_clients;

    std::mutex overlay_lock;
    std::list<std::shared_ptr<Client>> overlay_clients;
    std::string overlay_token;
    std::string overlay_state;

    std::mutex sign_in_lock;
    std::string pending_sign_in;
    std::chrono::steady_clock::time_point sign_in_expiry{};

    std::string web_root;
};

// The module's loopback HTTP and WebSocket server.
class LocalServer {
  public:
    LocalServer() = default;
    ~LocalServer();
    LocalServer(const LocalServer &) = delete;
    LocalServer &operator=(const LocalServer &) = delete;

    // Listens on the first free port of port .. port + 19 (never above 65535); returns the bound
    // port, or 0 when the server does not listen.
    std::uint16_t start(std::uint16_t port);
    // Closes the listener and every WebSocket client, then joins every thread.
    void stop();
    void set_overlay_token(const std::string &token);
    std::string overlay_token();
    bool is_running() const;

    // The running state for threads that are not the server's own (broadcasts may come from any
    // thread): a shared reference that stays valid even if stop runs meanwhile.
    std::shared_ptr<ServerState> current_state() const { return std::atomic_load(&state); }

    // The bridge's handlers; installed while connections may already arrive, so they are
    // swapped and copied under a lock and called outside it.
    using MessageHandler = std::function<void(const std::string &)>;
    using ConnectHandler = std::function<void()>;
    void set_bridge_handlers(MessageHandler on_message, ConnectHandler on_connect);
    void call_bridge_message(const std::string &text);
    void call_bridge_connect();

    std::shared_ptr<ServerState> state;
    std::uint16_t port = 0;
    std::string bridge_token;

  private:
    std::mutex handlers_lock;
    MessageHandler on_bridge_message;
    ConnectHandler on_bridge_connect;

    void accept_loop();
    void accept_once(ServerState &s);
    void start_connection(socket_t socket);
};

LocalServer &local_server();

// Ends a connection: both directions shut down, then the handle released.
void close_socket(socket_t socket);

} // namespace velmora
