#pragma once

#include "platform/socket.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace velmora {

// One open WebSocket connection. Any thread may send to it and no send ever waits for the peer:
// what the socket cannot take at once waits in the client's own queue, which its connection
// thread drains as the peer reads. A peer that lets the queue grow past its bound, or takes
// nothing for the stall limit (10 s), is closed by its own thread; the other clients never notice.
class Client {
  public:
    static constexpr std::size_t max_queued_bytes = std::size_t{4} * 1024 * 1024;

    Client(platform::socket_t socket, std::chrono::milliseconds stall_limit)
        : socket(socket), stall_limit(stall_limit)
    {
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Sends one whole frame after any still queued, in order and never cut into another; false
    // when the client is closed or failing.
    bool send(const std::string &frame);
    // Shuts the connection down once and wakes its thread; never waits for a send.
    void close();
    bool is_closed() const { return closed.load(); }

    // For the connection's own thread. Sends what the socket takes now; false when the client
    // must end (a broken connection or a queue past its bound).
    bool flush();
    // True while frames wait for the socket.
    bool has_queued();
    // How long the thread may wait for the socket before the stall rule ends the client.
    int stall_time_left_ms();
    // Raised when a frame is queued or the client is closed.
    const platform::WakeSignal &wake() const { return wake_; }
    // Closes, waits for any send still in progress, then gives the handle back. Once, by the
    // connection's own thread, so a late send can never reach a connection that got the handle
    // after us.
    void release();

    const platform::socket_t socket;
    const std::chrono::milliseconds stall_limit;

  private:
    using Clock = std::chrono::steady_clock;

    // Writes from the queue's head; the send lock is held.
    bool drain_queue();

    std::mutex send_lock; // guards the queue; never held while waiting
    std::deque<std::string> queue;
    std::size_t head_sent = 0; // bytes of queue.front() already on the wire
    std::size_t queued_bytes = 0;
    bool failing = false;
    Clock::time_point last_progress{};

    std::mutex close_lock; // held for the shutdown only
    std::atomic<bool> closed{false};
    platform::WakeSignal wake_;
};

} // namespace velmora
