#include "server/client.h"

#include <algorithm>

namespace velmora {

bool Client::send(const std::string &frame)
{
    std::lock_guard guard(send_lock);
    if (closed || failing)
        return false;
    if (!queue.empty()) {
        if (queued_bytes + frame.size() > max_queued_bytes) {
            failing = true;
            wake_.raise();
            return false;
        }
        queue.push_back(frame);
        queued_bytes += frame.size();
        return true;
    }

    long sent = platform::send_some(socket, frame.data(), frame.size());
    if (sent == static_cast<long>(frame.size()))
        return true;
    if (sent == platform::io_failed) {
        failing = true;
        wake_.raise();
        return false;
    }
    // The peer is behind: the rest waits, and the connection's thread now also waits for the
    // socket to take it.
    std::size_t taken = sent > 0 ? static_cast<std::size_t>(sent) : 0;
    queue.push_back(frame);
    head_sent = taken;
    queued_bytes = frame.size() - taken;
    last_progress = Clock::now();
    wake_.raise();
    return true;
}

bool Client::drain_queue()
{
    while (!queue.empty()) {
        const std::string &head = queue.front();
        long sent = platform::send_some(socket, head.data() + head_sent, head.size() - head_sent);
        if (sent == platform::io_would_block)
            return true;
        if (sent <= 0) {
            failing = true;
            return false;
        }
        head_sent += static_cast<std::size_t>(sent);
        queued_bytes -= static_cast<std::size_t>(sent);
        last_progress = Clock::now();
        if (head_sent == head.size()) {
            queue.pop_front();
            head_sent = 0;
        }
    }
    return true;
}

bool Client::flush()
{
    std::lock_guard guard(send_lock);
    if (failing)
        return false;
    return drain_queue();
}

bool Client::has_queued()
{
    std::lock_guard guard(send_lock);
    return !queue.empty();
}

int Client::stall_time_left_ms()
{
    std::lock_guard guard(send_lock);
    if (queue.empty())
        return -1;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(stall_limit - (Clock::now() - last_progress));
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

void Client::close()
{
    std::lock_guard guard(close_lock);
    if (closed.exchange(true))
        return;
    platform::shutdown_socket(socket);
    wake_.raise();
}

void Client::release()
{
    close();
    {
        // A send that began before the close has finished once this lock is free; later ones
        // see the client closed.
        std::lock_guard wait_for_send(send_lock);
    }
    {
        // A close that raced ours has finished its shutdown once this lock is free.
        std::lock_guard wait_for_close(close_lock);
    }
    platform::release_socket(socket);
}

} // namespace velmora
