#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::platform {

// A stream socket handle: a descriptor here, a SOCKET on Windows.
#ifdef _WIN32
using socket_t = std::uintptr_t;
inline constexpr socket_t invalid_socket = ~static_cast<socket_t>(0);
#else
using socket_t = int;
inline constexpr socket_t invalid_socket = -1;
#endif

// Process-wide networking start and stop (WSAStartup and WSACleanup on Windows).
bool start_networking();
void stop_networking();

socket_t open_tcp_socket();
// Keeps any other program from binding the same address while we listen on it.
void set_exclusive_address_use(socket_t socket);
bool bind_loopback(socket_t socket, std::uint16_t port);
bool start_listening(socket_t socket, int backlog);
// Waits up to timeout_microseconds for the socket to become readable: >0 ready, 0 time-out, <0
// error.
int wait_readable(socket_t socket, long timeout_microseconds);
// Accepts one connection; peer_ipv4 receives the peer's address in host byte order.
socket_t accept_connection(socket_t listener, std::uint32_t &peer_ipv4);

// Receive and send one piece; the result is the byte count, 0 when the peer closed, <0 on error.
// Sending to a peer that went away reports an error instead of raising a signal.
long receive_some(socket_t socket, void *buffer, std::size_t length);
long send_some(socket_t socket, const void *buffer, std::size_t length);
// 0 milliseconds waits without limit.
bool set_receive_timeout(socket_t socket, unsigned milliseconds);
bool set_send_timeout(socket_t socket, unsigned milliseconds);

// Ends both directions; a thread blocked in receive_some on the socket returns at once.
void shutdown_socket(socket_t socket);
// Gives the handle back to the system; it may be handed out again at once.
void release_socket(socket_t socket);

} // namespace velmora::platform
