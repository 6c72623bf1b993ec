#pragma once

#include "platform/socket.h"

#include <chrono>
#include <cstddef>

namespace velmora {

using Clock = std::chrono::steady_clock;

// One accepted connection as its handlers see it. The socket never blocks: every wait on it also
// watches the server's stop signal, so stopping the server never waits for a peer.
struct Connection {
    platform::socket_t socket = platform::invalid_socket;
    const platform::WakeSignal *stop = nullptr;
};

// Sends every byte unless the peer fails, the deadline passes or the server stops.
bool send_until(const Connection &connection, const char *bytes, std::size_t length,
                Clock::time_point deadline);

// Milliseconds left until deadline for a wait: at least 0, at most a day.
int wait_time(Clock::time_point deadline);

} // namespace velmora
