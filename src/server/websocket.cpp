#include "server/websocket.h"

#include "core/encoding.h"
#include "core/log.h"
#include "core/log_limiter.h"
#include "core/tokens.h"
#include "server/client.h"
#include "server/connection.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/local_server.h"
#include "server/sha1.h"

#include <algorithm>
#include <cstring>
#include <list>

namespace velmora {

namespace {

using ClientList = std::list<std::shared_ptr<Client>>;

constexpr auto handshake_time_limit = std::chrono::seconds(10);
// What the system may hold for a client besides its own queue: without a limit it grows to
// megabytes for a peer that never reads.
constexpr int client_send_buffer = 256 * 1024;

LogLimiter
    refused_bridge("[velmora] Refused %d more bridge connections that were not ours in the last minute");
LogLimiter
    refused_overlay("[velmora] Refused %d more overlay connections that were not ours in the last minute");

std::string header_value(const HttpRequest &request, const char *name)
{
    auto found = request.headers.find(name);
    return found == request.headers.end() ? std::string() : found->second;
}

std::string lower_case(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

ClientList copy_clients(std::mutex &lock, const ClientList &clients)
{
    std::lock_guard guard(lock);
    return clients;
}

// Empties a client set under its lock and closes the clients outside it.
void close_all(std::mutex &lock, ClientList &clients)
{
    ClientList taken;
    {
        std::lock_guard guard(lock);
        taken.swap(clients);
    }
    for (auto &client : taken)
        client->close();
}

void remove_client(std::mutex &lock, ClientList &clients, const std::shared_ptr<Client> &client)
{
    std::lock_guard guard(lock);
    clients.remove(client);
}

std::uint64_t read_big_endian(const std::uint8_t *bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// The connection thread's side of a client: exact-size reads served from one receive of up to
// 4 KiB where it can, and while it waits for the peer's bytes it also writes the client's queue
// whenever the socket takes more.
class ClientReader {
  public:
    ClientReader(Client &client, const Connection &connection) : client_(client), connection_(connection) {}

    bool read_exact(void *out, std::size_t length)
    {
        auto *target = static_cast<char *>(out);
        std::size_t from_buffer = std::min(length, end_ - start_);
        std::memcpy(target, buffer_ + start_, from_buffer);
        start_ += from_buffer;
        std::size_t done = from_buffer;
        if (done == length)
            return true;
        start_ = end_ = 0;
        // A large payload goes straight to its place; small reads go through the buffer.
        while (length - done >= sizeof buffer_) {
            long got = receive(target + done, length - done);
            if (got <= 0)
                return false;
            done += static_cast<std::size_t>(got);
        }
        while (end_ < length - done) {
            long got = receive(buffer_ + end_, sizeof buffer_ - end_);
            if (got <= 0)
                return false;
            end_ += static_cast<std::size_t>(got);
        }
        std::memcpy(target + done, buffer_, length - done);
        start_ = length - done;
        return true;
    }

  private:
    long receive(char *into, std::size_t length)
    {
        for (;;) {
            if (client_.is_closed() || !client_.flush())
                return platform::io_failed;
            long got = platform::receive_some(client_.socket, into, length);
            if (got != platform::io_would_block)
                return got;
            int timeout = client_.stall_time_left_ms();
            if (timeout == 0)
                return platform::io_failed; // the peer has taken nothing for too long
            unsigned readiness = platform::wait_socket(client_.socket, true, timeout > 0,
                                                       {connection_.stop, &client_.wake()}, timeout);
            if (readiness & platform::ready_error)
                return platform::io_failed;
            if (readiness & platform::ready_woken) {
                // Lowered before the queue is looked at again, so a frame queued after this
                // raises it anew and is not missed.
                client_.wake().lower();
                if (platform::wait_signal(*connection_.stop, 0))
                    return platform::io_failed; // the server is stopping
            }
        }
    }

    Client &client_;
    const Connection &connection_;
    char buffer_[4096];
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

void serve_client(LocalServer &server, ServerState &state, const Connection &connection,
                  const std::shared_ptr<Client> &shared, std::mutex &set_lock, ClientList &set,
                  bool is_overlay, const std::string &token)
{
    Client &client = *shared;
    std::string replay;
    {
        std::lock_guard guard(set_lock);
        // A reset between the token check and here has already closed the overlays of the old
        // token; checked again under the lock the reset takes, this one cannot slip past it.
        if (is_overlay && !tokens_equal(token, state.overlay_token))
            return;
        set.push_back(shared);
        if (is_overlay)
            replay = state.overlay_state;
    }
    if (is_overlay) {
        VELMORA_LOG(LOG_INFO, "An overlay connected");
        if (!replay.empty())
            send_frame(client, opcode_text, replay);
    } else {
        server.call_bridge_connect();
    }

    FrameReader reader;
    ClientReader receiver(client, connection);
    reader.read_exact = [&receiver](void *buffer, std::size_t length) {
        return receiver.read_exact(buffer, length);
    };
    reader.keep_running = [&state] { return state.running.load(); };
    reader.on_control = [&client](std::uint8_t opcode, const std::string &payload) {
        if (opcode == opcode_close)
            send_frame(client, opcode_close, std::string());
        else if (opcode == opcode_ping)
            send_frame(client, opcode_pong, payload);
    };
    reader.on_message = [&server, is_overlay](const std::string &message) {
        if (!is_overlay)
            server.call_bridge_message(message);
    };
    reader.run();
    // A close reply or anything else still queued gets a last, short chance to leave.
    auto deadline = Clock::now() + std::chrono::milliseconds(200);
    while (client.flush() && client.has_queued() && !client.is_closed() && wait_time(deadline) > 0)
        platform::wait_socket(client.socket, false, true, {connection.stop}, wait_time(deadline));
}

} // namespace

std::string websocket_accept_value(const std::string &key)
{
    auto digest = sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    return base64_encode(digest.data(), digest.size());
}

std::string encode_frame(std::uint8_t opcode, const std::string &payload)
{
    std::string frame;
    frame.reserve(payload.size() + 10);
    frame.push_back(static_cast<char>(0x80 | opcode));
    std::uint64_t length = payload.size();
    if (length < 126) {
        frame.push_back(static_cast<char>(length));
    } else if (length < 65536) {
        frame.push_back(static_cast<char>(126));
        frame.push_back(static_cast<char>(length >> 8));
        frame.push_back(static_cast<char>(length & 0xff));
    } else {
        frame.push_back(static_cast<char>(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<char>((length >> shift) & 0xff));
    }
    frame += payload;
    return frame;
}

void FrameReader::run()
{
    std::string message;
    while (keep_running()) {
        std::uint8_t head[2];
        if (!read_exact(head, 2))
            return;
        bool fin = (head[0] & 0x80) != 0;
        std::uint8_t opcode = head[0] & 0x0f;
        bool masked = (head[1] & 0x80) != 0;
        std::uint64_t length = head[1] & 0x7f;
        if (length == 126 || length == 127) {
            std::uint8_t extended[8];
            int count = length == 126 ? 2 : 8;
            if (!read_exact(extended, count))
                return;
            length = read_big_endian(extended, count);
        }
        // Checked before anything is allocated, so a peer cannot make us hold more than 2 MiB.
        if (!masked || length > max_message_bytes || message.size() + length > max_message_bytes)
            return;

        std::uint8_t mask[4];
        if (!read_exact(mask, 4))
            return;
        std::string payload(static_cast<std::size_t>(length), '\0');
        if (length > 0 && !read_exact(payload.data(), payload.size()))
            return;
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>(payload[i] ^ mask[i % 4]);

        switch (opcode) {
        case opcode_close:
            on_control(opcode, payload);
            return;
        case opcode_ping:
            on_control(opcode, payload);
            break;
        case opcode_continuation:
        case opcode_text:
            message += payload;
            if (fin) {
                on_message(message);
                message.clear();
            }
            break;
        default:
            break;
        }
    }
}

bool send_frame(Client &client, std::uint8_t opcode, const std::string &payload)
{
    return client.send(encode_frame(opcode, payload));
}

std::optional<Response> upgrade_refusal(LocalServer &server, const HttpRequest &request, bool is_overlay)
{
    std::string upgrade = lower_case(header_value(request, "upgrade"));
    std::string key = header_value(request, "sec-websocket-key");
    std::string origin = header_value(request, "origin");
    auto token = request.query.find("token");

    if (request.method != "GET" || upgrade != "websocket" || key.empty())
        return text_response(400, "Bad request");

    std::string expected_token = is_overlay ? server.overlay_token() : server.bridge_token;
    if (origin != server.origin() || token == request.query.end() || expected_token.empty() ||
        !tokens_equal(token->second, expected_token)) {
        if ((is_overlay ? refused_overlay : refused_bridge).allow())
            VELMORA_LOG(LOG_WARNING, "Refused a %s connection that is not ours",
                        is_overlay ? "overlay" : "bridge");
        return text_response(403, "Forbidden");
    }
    return std::nullopt;
}

void run_websocket(LocalServer &server, const Connection &connection, const std::string &key, bool is_overlay,
                   const std::string &token)
{
    auto state = server.current_state();
    std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                           "Upgrade\r\nSec-WebSocket-Accept: " +
                           websocket_accept_value(key) + "\r\n\r\n";
    std::shared_ptr<Client> client;
    try {
        client = std::make_shared<Client>(connection.socket, server.client_stall_limit);
    } catch (...) {
    }
    if (!state || !client || !client->wake().valid() ||
        !send_until(connection, response.data(), response.size(), Clock::now() + handshake_time_limit)) {
        close_socket(connection.socket);
        return;
    }

    platform::limit_send_buffer(connection.socket, client_send_buffer);
    std::mutex &set_lock = is_overlay ? state->overlay_lock : state->bridge_lock;
    ClientList &set = is_overlay ? state->overlay_clients : state->bridge_clients;
    try {
        serve_client(server, *state, connection, client, set_lock, set, is_overlay, token);
    } catch (...) {
        // A failing handler ends this connection only, never OBS.
    }
    remove_client(set_lock, set, client);
    client->release();
}

std::size_t broadcast_bridge(const std::string &text)
{
    return broadcast_bridge(local_server(), text);
}

bool publish_overlay_state(const std::string &text)
{
    return publish_overlay_state(local_server(), text);
}

std::string last_overlay_state()
{
    auto state = local_server().current_state();
    if (!state)
        return {};
    std::lock_guard guard(state->overlay_lock);
    return state->overlay_state;
}

void close_overlay_clients()
{
    close_overlay_clients(local_server());
}

std::size_t broadcast_bridge(LocalServer &server, const std::string &text)
{
    auto state = server.current_state();
    if (!state)
        return 0;
    ClientList clients = copy_clients(state->bridge_lock, state->bridge_clients);
    if (clients.empty())
        return 0;
    std::string frame = encode_frame(opcode_text, text);
    std::size_t took = 0;
    for (auto &client : clients)
        took += client->send(frame) ? 1 : 0;
    return took;
}

bool publish_overlay_state(LocalServer &server, const std::string &text)
{
    auto state = server.current_state();
    if (!state)
        return false;
    ClientList clients;
    {
        std::lock_guard guard(state->overlay_lock);
        state->overlay_state = text;
        clients = state->overlay_clients;
    }
    std::string frame = encode_frame(opcode_text, text);
    for (auto &client : clients)
        client->send(frame);
    return true;
}

void close_overlay_clients(LocalServer &server)
{
    if (auto state = server.current_state())
        close_all(state->overlay_lock, state->overlay_clients);
}

void close_bridge_clients(LocalServer &server)
{
    if (auto state = server.current_state())
        close_all(state->bridge_lock, state->bridge_clients);
}

void flush_refusal_warnings()
{
    refused_bridge.flush();
    refused_overlay.flush();
}

} // namespace velmora
