#include "server/local_server.h"

#include "module/log.h"
#include "module/module_handle.h"
#include "module/tokens.h"
#include "server/router.h"
#include "server/websocket.h"

#include <obs-module.h>
#include <util/bmem.h>

#include <cctype>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace velmora {

namespace {

constexpr int port_candidates = 20;
constexpr long accept_wait_microseconds = 500000;
constexpr std::uint32_t loopback_address = 0x7f000001;
// Ample for a request and a bridge message handler; small enough that the C library keeps
// finished threads' stacks for reuse.
constexpr std::size_t connection_stack_bytes = 512 * 1024;

std::string find_web_root()
{
    char *index = obs_find_module_file(module_handle(), "web/index.html");
    if (!index)
        return {};
    std::string path = index;
    bfree(index);
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

void run_connection(LocalServer *server, socket_t socket, ConnectionThread *record)
{
    handle_connection(*server, socket);
    record->finished.store(true);
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

bool LocalServer::is_running() const
{
    auto s = current_state();
    return s && s->running.load();
}

std::uint16_t LocalServer::start(std::uint16_t requested)
{
    if (state && state->running)
        return port;

    if (state)
        stop(); // the remains of a failed start
    std::atomic_store(&state, std::make_shared<ServerState>());
    if (!platform::start_networking()) {
        VELMORA_LOG(LOG_ERROR, "Could not start networking");
        return 0;
    }
    state->networking_started = true;

    state->web_root = find_web_root();
    if (state->web_root.empty())
        VELMORA_LOG(LOG_WARNING, "The dock files are missing (data/web/index.html)");

    bridge_token = random_token(32);
    if (take_test_bridge_token(bridge_token))
        VELMORA_LOG(LOG_WARNING, "Using a test bridge token from the environment");

    std::uint16_t bound = 0;
    state->listen_socket = bind_first_free_port(requested, bound);
    if (state->listen_socket == platform::invalid_socket) {
        VELMORA_LOG(LOG_ERROR, "Could not open a local port for the dock");
        return 0;
    }

    port = bound;
    state->running = true;
    try {
        state->accept_thread = std::thread([this] { accept_loop(); });
    } catch (const std::system_error &) {
        // Without an accept thread nothing would answer: undo the start completely.
        state->running = false;
        close_socket(state->listen_socket);
        state->listen_socket = platform::invalid_socket;
        port = 0;
        VELMORA_LOG(LOG_ERROR, "Could not open a local port for the dock");
        return 0;
    }

    VELMORA_LOG(LOG_INFO, "Dock server on 127.0.0.1:%u", static_cast<unsigned>(port));
    return port;
}

void LocalServer::accept_loop()
{
    ServerState &s = *state;
    while (s.running) {
        try {
            accept_once(s);
        } catch (...) {
            // Out of memory or threads for one pass: keep serving.
        }
    }
}

void LocalServer::accept_once(ServerState &s)
{
    int ready = platform::wait_readable(s.listen_socket, accept_wait_microseconds);
    if (ready < 0 && s.running)
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // no busy loop on a broken listener

    {
        std::lock_guard lock(s.threads_lock);
        for (auto it = s.threads.begin(); it != s.threads.end();) {
            if ((*it)->finished) {
                (*it)->thread.join();
                it = s.threads.erase(it);
            } else {
                ++it;
            }
        }
    }

    if (ready <= 0 || !s.running)
        return;
    std::uint32_t peer = 0;
    socket_t socket = platform::accept_connection(s.listen_socket, peer);
    if (socket == platform::invalid_socket)
        return;
    if (peer != loopback_address) {
        close_socket(socket);
        return;
    }
    start_connection(socket);
}

void LocalServer::start_connection(socket_t socket)
{
    // The record is in the list before its thread exists, so a failure on either side leaves
    // neither a thread nobody joins nor a socket nobody closes.
    ConnectionThread *record = nullptr;
    bool started = false;
    try {
        std::lock_guard lock(state->threads_lock);
        state->threads.push_back(std::make_unique<ConnectionThread>());
        record = state->threads.back().get();
        started = record->thread.start([this, socket, record] { run_connection(this, socket, record); },
                                       connection_stack_bytes);
        if (!started)
            state->threads.pop_back();
    } catch (...) {
        if (record && !started) {
            std::lock_guard lock(state->threads_lock);
            state->threads.pop_back();
        }
    }
    if (!started)
        close_socket(socket); // no thread to serve it: drop the connection and keep accepting
}

void LocalServer::stop()
{
    if (!state)
        return;
    ServerState &s = *state;
    s.running = false;

    // Shut the listener down now so the accept loop wakes; its handle is released only after
    // the accept thread has stopped using it.
    if (s.listen_socket != platform::invalid_socket)
        platform::shutdown_socket(s.listen_socket);

    close_bridge_clients(*this);
    close_overlay_clients(*this);

    if (s.accept_thread.joinable())
        s.accept_thread.join();
    if (s.listen_socket != platform::invalid_socket) {
        platform::release_socket(s.listen_socket);
        s.listen_socket = platform::invalid_socket;
    }

    {
        std::lock_guard lock(s.threads_lock);
        for (auto &record : s.threads) {
            if (record->thread.joinable())
                record->thread.join();
        }
        s.threads.clear();
    }

    if (s.networking_started)
        platform::stop_networking();
    std::atomic_store(&state, std::shared_ptr<ServerState>());
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

} // namespace velmora
