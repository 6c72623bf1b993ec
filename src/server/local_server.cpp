#include "server/local_server.h"

#include "core/log.h"
#include "core/module_handle.h"
#include "core/tokens.h"
#include "server/connection.h"
#include "server/http_response.h"
#include "server/plain_requests.h"
#include "server/websocket.h"

#include <obs-module.h>
#include <util/util.hpp>

#include <cctype>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace velmora {

namespace {

constexpr int port_candidates = 20;
constexpr std::uint32_t loopback_address = 0x7f000001;
// Ample for a bridge message handler; small enough that the C library keeps finished threads'
// stacks for reuse.
constexpr std::size_t connection_stack_bytes = std::size_t{512} * 1024;
// How often finished threads are joined, and how long accepting pauses after the system
// refused us a connection (out of descriptors, for one) instead of spinning on it.
constexpr int reap_interval_ms = 500;
constexpr auto accept_backoff = std::chrono::milliseconds(100);
// Accepted in one round at most, so open connections are served between floods.
constexpr int accepts_per_round = 64;

std::string find_web_root()
{
    BPtr<char> index = obs_find_module_file(module_handle(), "web/index.html");
    if (!index)
        return {};
    std::string path = index.Get();
    static constexpr std::size_t file_name_length = sizeof("index.html") - 1;
    return path.size() >= file_name_length ? path.substr(0, path.size() - file_name_length) : std::string();
}

// A test may fix the bridge token so that it can connect without reading the dock's URL.
bool take_test_bridge_token(std::string &token)
{
    const char *value = std::getenv("VELMORA_OBS_TEST_BRIDGE_TOKEN");
    if (!value)
        return false;
    std::string text = value;
    if (text.size() < 32 || text.size() > 128)
        return false;
    for (char &c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    token = text;
    return true;
}

socket_t bind_first_free_port(std::uint16_t first, std::uint16_t &bound)
{
    for (int i = 0; i < port_candidates; ++i) {
        unsigned candidate = static_cast<unsigned>(first) + i;
        if (candidate > 65535)
            break;
        socket_t socket = platform::open_tcp_socket();
        if (socket == platform::invalid_socket)
            break;
        platform::set_exclusive_address_use(socket);
        if (platform::bind_loopback(socket, static_cast<std::uint16_t>(candidate)) &&
            platform::start_listening(socket, 8)) {
            bound = static_cast<std::uint16_t>(candidate);
            return socket;
        }
        close_socket(socket);
    }
    return platform::invalid_socket;
}

void reap_finished(ServerState &s)
{
    std::list<std::unique_ptr<ConnectionThread>> finished;
    {
        std::lock_guard lock(s.threads_lock);
        for (auto it = s.threads.begin(); it != s.threads.end();) {
            if ((*it)->finished) {
                auto next = std::next(it);
                finished.splice(finished.end(), s.threads, it);
                it = next;
            } else {
                ++it;
            }
        }
    }
    // Joined outside the lock: a finished thread is past its last use of it anyway.
    for (auto &record : finished)
        record->thread.join();
}

} // namespace

LocalServer::~LocalServer()
{
    // Only reached at process exit if OBS never unloaded the module; threads must not outlive us.
    stop();
}

LocalServer &local_server()
{
    static LocalServer server;
    return server;
}

void close_socket(socket_t socket)
{
    platform::shutdown_socket(socket);
    platform::release_socket(socket);
}

std::shared_ptr<ServerState> LocalServer::current_state() const
{
    std::lock_guard lock(state_lock);
    return state;
}

void LocalServer::set_state(std::shared_ptr<ServerState> next)
{
    std::lock_guard lock(state_lock);
    state.swap(next);
    // The old state, if this was its last holder, is destroyed outside the lock.
}

bool LocalServer::is_running() const
{
    auto s = current_state();
    return s && s->running.load();
}

std::string LocalServer::origin() const
{
    return "http://127.0.0.1:" + std::to_string(port);
}

std::uint16_t LocalServer::start(std::uint16_t requested)
{
    if (auto existing = current_state()) {
        if (existing->running)
            return port;
        stop(); // the remains of a failed start
    }
    auto fresh = std::make_shared<ServerState>();
    set_state(fresh);
    ServerState &s = *fresh;
    if (!platform::start_networking()) {
        VELMORA_LOG(LOG_ERROR, "Could not start networking");
        return 0;
    }
    s.networking_started = true;

    s.web_root = find_web_root();
    if (s.web_root.empty())
        VELMORA_LOG(LOG_WARNING, "The dock files are missing (data/web/index.html)");

    bridge_token = random_token(32);
    if (take_test_bridge_token(bridge_token))
        VELMORA_LOG(LOG_WARNING, "Using a test bridge token from the environment");

    std::uint16_t bound = 0;
    s.listen_socket = bind_first_free_port(requested, bound);
    // Without a stop signal no wait could be ended: stop would hang on a silent peer.
    if (s.listen_socket == platform::invalid_socket || !s.stop_signal.valid()) {
        VELMORA_LOG(LOG_ERROR, "Could not open a local port for the dock");
        return 0;
    }

    port = bound;
    s.running = true;
    try {
        s.accept_thread = std::thread([this, served = &s] { serve_loop(*served); });
    } catch (const std::system_error &) {
        // Without an accept thread nothing would answer: undo the start completely.
        s.running = false;
        close_socket(s.listen_socket);
        s.listen_socket = platform::invalid_socket;
        port = 0;
        VELMORA_LOG(LOG_ERROR, "Could not open a local port for the dock");
        return 0;
    }

    VELMORA_LOG(LOG_INFO, "Dock server on 127.0.0.1:%u", static_cast<unsigned>(port));
    return port;
}

void LocalServer::serve_loop(ServerState &s)
{
    PlainRequests requests(*this);
    std::vector<platform::SocketWait> waits;
    Clock::time_point accept_again{};
    while (s.running) {
        try {
            auto now = Clock::now();
            bool accepting = now >= accept_again;
            waits.clear();
            waits.push_back({s.listen_socket, accepting, false});
            requests.add_waits(waits);
            int timeout = requests.wait_time_ms();
            auto shorten = [&timeout](int limit) {
                timeout = timeout < 0 ? limit : std::min(timeout, limit);
            };
            if (!accepting)
                shorten(wait_time(accept_again) + 1);
            {
                std::lock_guard lock(s.threads_lock);
                if (!s.threads.empty())
                    shorten(reap_interval_ms);
            }
            unsigned woken = platform::wait_sockets(waits, {&s.stop_signal}, timeout);
            if (!s.running)
                break;
            if (woken == platform::ready_error) {
                platform::wait_signal(s.stop_signal, static_cast<int>(accept_backoff.count()));
                continue;
            }
            reap_finished(s);
            requests.serve(std::span(waits).subspan(1));
            if (waits[0].readiness & platform::ready_error)
                accept_again = Clock::now() + accept_backoff; // no busy loop on a broken listener
            else if (waits[0].readiness & platform::ready_read)
                for (int i = 0; i < accepts_per_round; ++i) {
                    socket_t socket = platform::invalid_socket;
                    std::uint32_t peer = 0;
                    auto result = platform::accept_connection(s.listen_socket, socket, peer);
                    if (result == platform::AcceptResult::failed)
                        accept_again = Clock::now() + accept_backoff; // it stays in the backlog meanwhile
                    if (result != platform::AcceptResult::accepted)
                        break;
                    // Another address, or more requests at once than a dock and its overlays make:
                    // closed at once, unread.
                    if (peer != loopback_address || !requests.has_room())
                        close_socket(socket);
                    else
                        requests.add(socket);
                }
        } catch (...) {
            // Out of memory for one round: keep serving.
        }
    }
}

bool LocalServer::start_websocket(socket_t socket, std::string key, bool is_overlay, std::string token)
{
    auto shared = current_state();
    ServerState &s = *shared;
    // More WebSockets than docks and overlays could need: closed unanswered.
    if (s.open_websockets.fetch_add(1) >= max_open_websockets) {
        s.open_websockets--;
        close_socket(socket);
        return false;
    }
    try {
        std::lock_guard lock(s.threads_lock);
        // The record is in the list before its thread exists, so a failure on either side leaves
        // neither a thread nobody joins nor a socket nobody closes.
        s.threads.push_back(std::make_unique<ConnectionThread>());
        ConnectionThread &record = *s.threads.back();
        auto body = [this, &s, &record, socket, key = std::move(key), is_overlay, token = std::move(token)] {
            run_websocket(*this, Connection{socket, &s.stop_signal}, key, is_overlay, token);
            s.open_websockets--;
            record.finished = true;
        };
        if (record.thread.start(body, connection_stack_bytes))
            return true;
        s.threads.pop_back();
    } catch (...) {
    }
    s.open_websockets--;
    close_socket(socket);
    return false;
}

void LocalServer::stop()
{
    auto held = current_state();
    if (!held)
        return;
    ServerState &s = *held;
    s.running = false;
    s.stop_signal.raise();
    close_bridge_clients(*this);
    close_overlay_clients(*this);

    if (s.accept_thread.joinable())
        s.accept_thread.join();
    if (s.listen_socket != platform::invalid_socket) {
        close_socket(s.listen_socket);
        s.listen_socket = platform::invalid_socket;
    }
    // Every wait of a connection thread ends at the stop signal, so these joins are short.
    std::list<std::unique_ptr<ConnectionThread>> threads;
    {
        std::lock_guard lock(s.threads_lock);
        threads.swap(s.threads);
    }
    for (auto &record : threads)
        record->thread.join();

    if (s.networking_started)
        platform::stop_networking();
    set_state(nullptr);
    port = 0;
}

void LocalServer::set_overlay_token(const std::string &token)
{
    auto s = current_state();
    if (!s)
        return;
    std::lock_guard lock(s->overlay_lock);
    s->overlay_token = token;
}

std::string LocalServer::overlay_token()
{
    auto s = current_state();
    if (!s)
        return {};
    std::lock_guard lock(s->overlay_lock);
    return s->overlay_token;
}

void LocalServer::set_bridge_handlers(MessageHandler on_message, ConnectHandler on_connect)
{
    MessageHandler old_message;
    ConnectHandler old_connect;
    {
        std::lock_guard lock(handlers_lock);
        old_message = std::exchange(on_bridge_message, std::move(on_message));
        old_connect = std::exchange(on_bridge_connect, std::move(on_connect));
    }
    // The replaced callables are destroyed here, outside the lock.
}

void LocalServer::set_auth_callback_handler(RouteHandler handler)
{
    RouteHandler old;
    {
        std::lock_guard lock(handlers_lock);
        old = std::exchange(on_auth_callback, std::move(handler));
    }
}

void LocalServer::call_bridge_message(const std::string &text)
{
    MessageHandler handler;
    {
        std::lock_guard lock(handlers_lock);
        handler = on_bridge_message;
    }
    if (handler)
        handler(text);
}

void LocalServer::call_bridge_connect()
{
    ConnectHandler handler;
    {
        std::lock_guard lock(handlers_lock);
        handler = on_bridge_connect;
    }
    if (handler)
        handler();
}

bool LocalServer::call_auth_callback(const HttpRequest &request, Response &response)
{
    RouteHandler handler;
    {
        std::lock_guard lock(handlers_lock);
        handler = on_auth_callback;
    }
    if (!handler)
        return false;
    response = handler(*this, request);
    return true;
}

} // namespace velmora
