#include "server/websocket.h"

#include "module/encoding.h"
#include "module/log.h"
#include "module/tokens.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/local_server.h"
#include "server/sha1.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <vector>

namespace velmora {

namespace {

using ClientList = std::list<std::shared_ptr<Client>>;

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

bool remove_client(std::mutex &lock, ClientList &clients, const std::shared_ptr<Client> &client)
{
    std::lock_guard guard(lock);
    for (auto it = clients.begin(); it != clients.end(); ++it) {
        if (*it == client) {
            clients.erase(it);
            return true;
        }
    }
    return false;
}

std::uint64_t read_big_endian(const std::uint8_t *bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

bool Client::send(const std::string &frame)
{
    std::lock_guard guard(send_lock);
    if (closed)
        return false;
    return send_all(socket, frame.data(), frame.size());
}

void Client::close()
{
    std::lock_guard guard(close_lock);
    if (closed.exchange(true))
        return;
    platform::shutdown_socket(socket);
}

void Client::release()
{
    close();
    {
        // A send that began before the close has failed or finished once this lock is free;
        // later ones see the client closed.
        std::lock_guard wait_for_send(send_lock);
    }
    {
        // A close that raced ours has finished its shutdown once this lock is free.
        std::lock_guard wait_for_close(close_lock);
    }
    platform::release_socket(socket);
}

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

namespace {

// Serves exact-size reads from one receive of up to 4 KiB where it can, so a small frame costs
// one system call rather than one for each of its parts.
class BufferedReceiver {
  public:
    explicit BufferedReceiver(platform::socket_t socket) : socket_(socket) {}

    bool read_exact(void *out, std::size_t length)
    {
        auto *target = static_cast<char *>(out);
        std::size_t from_buffer = std::min(length, end_ - start_);
        std::memcpy(target, buffer_ + start_, from_buffer);
        start_ += from_buffer;
        std::size_t missing = length - from_buffer;
        if (missing == 0)
            return true;
        if (missing >= sizeof buffer_) // a large payload goes straight to its place
            return recv_exact(socket_, target + from_buffer, missing);
        start_ = end_ = 0;
        while (end_ < missing) {
            long got = platform::receive_some(socket_, buffer_ + end_, sizeof buffer_ - end_);
            if (got <= 0)
                return false;
            end_ += static_cast<std::size_t>(got);
        }
        std::memcpy(target + from_buffer, buffer_, missing);
        start_ = missing;
        return true;
    }

  private:
    platform::socket_t socket_;
    char buffer_[4096];
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

void run_websocket(LocalServer &server, const std::shared_ptr<Client> &shared, std::mutex &set_lock,
                   ClientList &set, bool is_overlay)
{
    Client &client = *shared;
    ServerState &state = *server.state;
    std::string replay;
    {
        std::lock_guard guard(set_lock);
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
    BufferedReceiver receiver(client.socket);
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
}

} // namespace

void handle_websocket(LocalServer &server, platform::socket_t socket, const HttpRequest &request,
                      bool is_overlay)
{
    std::string upgrade = lower_case(header_value(request, "upgrade"));
    std::string key = header_value(request, "sec-websocket-key");
    std::string origin = header_value(request, "origin");
    std::string expected_origin = "http://127.0.0.1:" + std::to_string(server.port);
    auto token = request.query.find("token");

    if (request.method != "GET" || upgrade != "websocket" || key.empty()) {
        send_response(socket, 400, "text/plain", "Bad request");
        close_socket(socket);
        return;
    }

    std::string expected_token = is_overlay ? server.overlay_token() : server.bridge_token;
    if (origin != expected_origin || token == request.query.end() || expected_token.empty() ||
        !tokens_equal(token->second, expected_token)) {
        VELMORA_LOG(LOG_WARNING, "Refused a %s connection that is not ours",
                    is_overlay ? "overlay" : "bridge");
        send_response(socket, 403, "text/plain", "Forbidden");
        close_socket(socket);
        return;
    }

    std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                           "Upgrade\r\nSec-WebSocket-Accept: " +
                           websocket_accept_value(key) + "\r\n\r\n";
    if (!send_all(socket, response.data(), response.size())) {
        close_socket(socket);
        return;
    }
    platform::set_receive_timeout(socket, 0);

    ServerState &state = *server.state;
    std::shared_ptr<Client> client;
    try {
        client = std::make_shared<Client>(socket);
    } catch (...) {
        close_socket(socket);
        return;
    }
    std::mutex &set_lock = is_overlay ? state.overlay_lock : state.bridge_lock;
    ClientList &set = is_overlay ? state.overlay_clients : state.bridge_clients;

    // Whatever happens from here on, the client leaves its set and its handle is released.
    struct Unregister {
        std::mutex &lock;
        ClientList &set;
        std::shared_ptr<Client> &client;
        ~Unregister()
        {
            remove_client(lock, set, client);
            client->release();
        }
    } unregister{set_lock, set, client};

    try {
        run_websocket(server, client, set_lock, set, is_overlay);
    } catch (...) {
        // A failing handler ends this connection only, never OBS.
    }
}

void broadcast_bridge(const std::string &text)
{
    broadcast_bridge(local_server(), text);
}

void publish_overlay_state(const std::string &text)
{
    publish_overlay_state(local_server(), text);
}

void close_overlay_clients()
{
    close_overlay_clients(local_server());
}

void broadcast_bridge(LocalServer &server, const std::string &text)
{
    auto state = server.current_state();
    if (!state)
        return;
    ClientList clients = copy_clients(state->bridge_lock, state->bridge_clients);
    if (clients.empty())
        return;
    std::string frame = encode_frame(opcode_text, text);
    for (auto &client : clients)
        client->send(frame);
}

void publish_overlay_state(LocalServer &server, const std::string &text)
{
    auto state = server.current_state();
    if (!state)
        return;
    ClientList clients;
    {
        std::lock_guard guard(state->overlay_lock);
        state->overlay_state = text;
        clients = state->overlay_clients;
    }
    std::string frame = encode_frame(opcode_text, text);
    for (auto &client : clients)
        client->send(frame);
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

} // namespace velmora
