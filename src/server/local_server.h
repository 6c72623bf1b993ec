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
struct HttpRequest;
struct Response;

// The thread of one WebSocket connection, for the connection's whole life.
struct ConnectionThread {
    platform::Thread thread;
    std::atomic<bool> finished{false};
};

// Exists from a start until the following stop.
struct ServerState {
    std::atomic<bool> running{false};
    bool networking_started = false;
    socket_t listen_socket = platform::invalid_socket;
    // Accepts connections and serves every plain request, without a thread per request.
    std::thread accept_thread;
    // Raised once by stop; every wait of the server's threads ends at once from then on.
    platform::WakeSignal stop_signal;

    std::mutex threads_lock;
    std::list<std::unique_ptr<ConnectionThread>> threads;
    // Open WebSockets (each holds a thread); capped like plain requests, so that a local
    // program cannot exhaust threads or descriptors.
    std::atomic<int> open_websockets{0};

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

// Plain requests being read or answered at once.
inline constexpr int max_open_requests = 64;
inline constexpr int max_open_websockets = 64;

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
    // Wakes and closes every connection, then joins every thread; prompt whatever is open.
    void stop();
    void set_overlay_token(const std::string &token);
    std::string overlay_token();
    bool is_running() const;
    // "http://127.0.0.1:<port>": the only origin our pages have, and the base of their URLs.
    std::string origin() const;

    // The running state for threads that are not the server's own (broadcasts may come from any
    // thread): a shared reference that stays valid even if stop runs meanwhile.
    std::shared_ptr<ServerState> current_state() const;

    // Handlers that features install; set while connections may already arrive, so they are
    // swapped and copied under a lock and called outside it.
    using MessageHandler = std::function<void(const std::string &)>;
    using ConnectHandler = std::function<void()>;
    using RouteHandler = std::function<Response(LocalServer &, const HttpRequest &)>;
    void set_bridge_handlers(MessageHandler on_message, ConnectHandler on_connect);
    void set_auth_callback_handler(RouteHandler handler);
    void call_bridge_message(const std::string &text);
    void call_bridge_connect();
    // False when no handler is installed.
    bool call_auth_callback(const HttpRequest &request, Response &response);

    // Gives an accepted upgrade a thread of its own for the WebSocket's life; false, with the
    // socket closed, when it cannot have one. The token is the one the request presented.
    bool start_websocket(socket_t socket, std::string key, bool is_overlay, std::string token);

    std::uint16_t port = 0;
    std::string bridge_token;
    // A plain request must arrive within this, and its answer leave within it again; a WebSocket
    // peer that takes nothing of what waits for it for this long is closed.
    std::chrono::milliseconds request_time_limit{10000};
    std::chrono::milliseconds client_stall_limit{10000};

  private:
    // A plain lock, not std::atomic<std::shared_ptr>: GCC 12 builds that on a spin bit that
    // ThreadSanitizer cannot see, and reports every broadcast racing a stop.
    mutable std::mutex state_lock;
    std::shared_ptr<ServerState> state;
    void set_state(std::shared_ptr<ServerState> next);

    std::mutex handlers_lock;
    MessageHandler on_bridge_message;
    ConnectHandler on_bridge_connect;
    RouteHandler on_auth_callback;

    void serve_loop(ServerState &s);
};

LocalServer &local_server();

// Ends a connection: both directions shut down, then the handle released.
void close_socket(socket_t socket);

} // namespace velmora
