#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace velmora::platform {

bool start_networking()
{
    return true;
}

void stop_networking() {}

socket_t open_tcp_socket()
{
    socket_t fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? invalid_socket : fd;
}

void set_exclusive_address_use(socket_t socket)
{
    // Linux never lets a second socket bind an address that a socket is listening on, with or
    // without SO_REUSEADDR (only SO_REUSEPORT, which we never set, would share it). What
    // SO_REUSEADDR adds here is a restart of OBS binding its port again while connections of the
    // previous run linger in TIME_WAIT, instead of moving to the next port every time.
    int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool bind_loopback(socket_t socket, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) != 1)
        return false;
    return ::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

bool start_listening(socket_t socket, int backlog)
{
    return ::listen(socket, backlog) == 0;
}

int wait_readable(socket_t socket, long timeout_microseconds)
{
    // poll rather than select: select cannot watch descriptors above FD_SETSIZE, and OBS
    // may hold many files open.
    pollfd entry{};
    entry.fd = socket;
    entry.events = POLLIN;
    int result = ::poll(&entry, 1, static_cast<int>(timeout_microseconds / 1000));
    if (result > 0 && (entry.revents & (POLLERR | POLLNVAL)))
        return -1;
    return result;
}

socket_t accept_connection(socket_t listener, std::uint32_t &peer_ipv4)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    socket_t fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0)
        return invalid_socket;
    peer_ipv4 = peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
    // A response head and its body, or a WebSocket frame, must not wait for the peer's delayed
    // acknowledgement of the previous write.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

long receive_some(socket_t socket, void *buffer, std::size_t length)
{
    ssize_t got;
    do {
        got = ::recv(socket, buffer, length, 0);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

long send_some(socket_t socket, const void *buffer, std::size_t length)
{
    ssize_t sent;
    do {
        sent = ::send(socket, buffer, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<long>(sent);
}

bool set_receive_timeout(socket_t socket, unsigned milliseconds)
{
    timeval timeout{};
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

bool set_send_timeout(socket_t socket, unsigned milliseconds)
{
    timeval timeout{};
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

void shutdown_socket(socket_t socket)
{
    ::shutdown(socket, SHUT_RDWR);
}

void release_socket(socket_t socket)
{
    ::close(socket);
}

} // namespace velmora::platform
