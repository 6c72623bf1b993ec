#pragma once

#include "platform/socket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace velmora {

class LocalServer;
struct HttpRequest;

// One open WebSocket connection. Closing it only shuts the connection down and marks it closed;
// the handle itself is released by the connection's own thread once no send can still be using
// it, so a late send can never reach another connection that was given the same handle.
class Client {
  public:
    explicit Client(platform::socket_t socket) : socket(socket) {}

    // Sends one whole frame; false when the client is closed or the send fails.
    bool send(const std::string &frame);
    // Shuts the connection down once. It does not wait for a send in progress: the shutdown is
    // what wakes a send blocked on a peer that stopped reading.
    void close();
    bool is_closed() const { return closed.load(); }
    // Closes, waits for any send still in progress, then gives the handle back. Only the
    // connection's own thread calls this, once.
    void release();

    const platform::socket_t socket;

  private:
    std::mutex send_lock;  // held for one whole frame
    std::mutex close_lock; // held for the shutdown only, never while sending
    std::atomic<bool> closed{false};
};

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

void handle_websocket(LocalServer &server, platform::socket_t socket, const HttpRequest &request,
                      bool is_overlay);
bool send_frame(Client &client, std::uint8_t opcode, const std::string &payload);
// Callable from any thread; each sends outside the set's lock, one whole frame per client.
void broadcast_bridge(const std::string &text);
void publish_overlay_state(const std::string &text);
void close_overlay_clients();

void broadcast_bridge(LocalServer &server, const std::string &text);
void publish_overlay_state(LocalServer &server, const std::string &text);
void close_overlay_clients(LocalServer &server);
void close_bridge_clients(LocalServer &server);

} // namespace velmora
