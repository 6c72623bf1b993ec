#include "server/connection.h"

#include <algorithm>

namespace velmora {

namespace {

constexpr std::size_t max_send_piece = 1048576;

// Waits for the socket; false when the deadline passed, the server stopped or the socket broke.
bool wait_ready(const Connection &connection, bool for_write, Clock::time_point deadline)
{
    int timeout = wait_time(deadline);
    if (timeout <= 0)
        return false;
    unsigned readiness =
        platform::wait_socket(connection.socket, !for_write, for_write, {connection.stop}, timeout);
    return (readiness & (for_write ? platform::ready_write : platform::ready_read)) != 0 &&
           (readiness & platform::ready_woken) == 0;
}

} // namespace

int wait_time(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

bool send_until(const Connection &connection, const char *bytes, std::size_t length,
                Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < length) {
        long result =
            platform::send_some(connection.socket, bytes + sent, std::min(length - sent, max_send_piece));
        if (result == platform::io_would_block) {
            if (!wait_ready(connection, true, deadline))
                return false;
            continue;
        }
        if (result <= 0)
            return false;
        sent += static_cast<std::size_t>(result);
    }
    return true;
}

} // namespace velmora
