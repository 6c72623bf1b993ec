#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace velmora {

class Client;
class LocalServer;
struct Connection;
struct HttpRequest;
struct Response;

enum Opcode : std::uint8_t {
    opcode_continuation = 0,
    opcode_text = 1,
    opcode_binary = 2,
    opcode_close = 8,
    opcode_ping = 9,
    opcode_pong = 10,
};

inline constexpr std::size_t max_message_bytes = 1048576;

// The accept value for a handshake key: Base64 of SHA-1 of the key and the protocol's GUID.
std::string websocket_accept_value(const std::string &key);
// An unmasked frame with FIN set, in the shortest length form.
std::string encode_frame(std::uint8_t opcode, const std::string &payload);

// Reads client frames through read_exact until the connection should end. Control frames go to
// on_control (close ends the reader after it), complete text messages to on_message.
struct FrameReader {
    std::function<bool(void *, std::size_t)> read_exact;
    std::function<bool()> keep_running;
    std::function<void(std::uint8_t opcode, const std::string &payload)> on_control;
    std::function<void(const std::string &message)> on_message;

    void run();
};

// The answer to an upgrade request that may not proceed (400, or 403 with a warning), or none.
std::optional<Response> upgrade_refusal(LocalServer &server, const HttpRequest &request, bool is_overlay);
// An accepted upgrade on its own thread: the 101 answer, then the connection's whole life. An
// overlay whose token was replaced since its request was checked is closed instead of served.
void run_websocket(LocalServer &server, const Connection &connection, const std::string &key, bool is_overlay,
                   const std::string &token);
bool send_frame(Client &client, std::uint8_t opcode, const std::string &payload);
// Callable from any thread; none of them waits for a client. A broadcast returns how many clients
// took the frame.
std::size_t broadcast_bridge(const std::string &text);
// False when the server is not running.
bool publish_overlay_state(const std::string &text);
// The text published last; empty before the first publication or while the server is stopped.
std::string last_overlay_state();
void close_overlay_clients();

std::size_t broadcast_bridge(LocalServer &server, const std::string &text);
bool publish_overlay_state(LocalServer &server, const std::string &text);
void close_overlay_clients(LocalServer &server);
void close_bridge_clients(LocalServer &server);
// Warnings a web page can cause, summed up for the time they were held back.
void flush_refusal_warnings();

} // namespace velmora
