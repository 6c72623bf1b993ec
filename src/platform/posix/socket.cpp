#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iterator>
#include <vector>

namespace velmora::platform {

bool start_networking()
{
    return true;
}

void stop_networking() {}

socket_t open_tcp_socket()
{
    socket_t fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
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

AcceptResult accept_connection(socket_t listener, socket_t &accepted, std::uint32_t &peer_ipv4)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    socket_t fd;
    do {
        fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A connection that was reset while it waited is gone; anything else is the system
        // refusing us resources.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EPROTO)
            return AcceptResult::none_waiting;
        return AcceptResult::failed;
    }
    accepted = fd;
    peer_ipv4 = peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
    // A response head and its body, or a WebSocket frame, must not wait for the peer's delayed
    // acknowledgement of the previous write.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return AcceptResult::accepted;
}

namespace {

long io_result(ssize_t moved)
{
    if (moved >= 0)
        return static_cast<long>(moved);
    return errno == EAGAIN || errno == EWOULDBLOCK ? io_would_block : io_failed;
}

} // namespace

long receive_some(socket_t socket, void *buffer, std::size_t length)
{
    ssize_t got;
    do {
        got = ::recv(socket, buffer, length, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    return io_result(got);
}

long send_some(socket_t socket, const void *buffer, std::size_t length)
{
    ssize_t sent;
    do {
        sent = ::send(socket, buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent == 0 && length > 0)
        return io_would_block;
    return io_result(sent);
}

void limit_send_buffer(socket_t socket, int bytes)
{
    ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void shutdown_socket(socket_t socket)
{
    ::shutdown(socket, SHUT_RDWR);
}

void release_socket(socket_t socket)
{
    ::close(socket);
}

WakeSignal::WakeSignal() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeSignal::~WakeSignal()
{
    if (handle_ >= 0)
        ::close(handle_);
}

bool WakeSignal::valid() const
{
    return handle_ >= 0;
}

void WakeSignal::raise() const
{
    if (handle_ < 0)
        return;
    std::uint64_t one = 1;
    // A full counter is still raised; nothing to do then.
    [[maybe_unused]] ssize_t written = ::write(handle_, &one, sizeof one);
}

void WakeSignal::lower() const
{
    if (handle_ < 0)
        return;
    std::uint64_t count;
    [[maybe_unused]] ssize_t read = ::read(handle_, &count, sizeof count);
}

namespace {

int poll_retrying(pollfd *entries, nfds_t count, int timeout_ms)
{
    int result;
    do {
        result = ::poll(entries, count, timeout_ms);
    } while (result < 0 && errno == EINTR);
    return result;
}

} // namespace

namespace {

unsigned readiness_of(short events)
{
    unsigned readiness = ready_none;
    if (events & (POLLERR | POLLNVAL))
        readiness |= ready_error;
    // A hang-up is readable: the next receive reports it.
    if (events & (POLLIN | POLLHUP))
        readiness |= ready_read;
    if (events & POLLOUT)
        readiness |= ready_write;
    return readiness;
}

} // namespace

unsigned wait_sockets(std::span<SocketWait> sockets, std::initializer_list<const WakeSignal *> wakers,
                      int timeout_ms)
{
    // poll rather than select: select cannot watch descriptors above FD_SETSIZE, and OBS
    // may hold many files open.
    // A connection thread waits on one socket and two signals: no allocation for that.
    pollfd few[8];
    std::vector<pollfd> many;
    std::size_t total = sockets.size() + wakers.size();
    pollfd *entries = few;
    if (total > std::size(few)) {
        many.resize(total);
        entries = many.data();
    }
    std::size_t count = 0;
    for (const SocketWait &wait : sockets) {
        short events = static_cast<short>((wait.want_read ? POLLIN : 0) | (wait.want_write ? POLLOUT : 0));
        entries[count++] = {wait.socket, events, 0};
    }
    for (const WakeSignal *signal : wakers) {
        if (signal && signal->valid())
            entries[count++] = {signal->handle(), POLLIN, 0};
    }
    int result = poll_retrying(entries, count, timeout_ms);
    if (result < 0)
        return ready_error;
    unsigned woken = ready_none;
    for (std::size_t i = 0; i < count; ++i) {
        if (i < sockets.size())
            sockets[i].readiness = readiness_of(entries[i].revents);
        else if (entries[i].revents)
            woken = ready_woken;
    }
    return woken;
}

bool wait_signal(const WakeSignal &signal, int timeout_ms)
{
    if (!signal.valid()) {
        ::poll(nullptr, 0, timeout_ms < 0 ? 0 : timeout_ms);
        return false;
    }
    pollfd entry{signal.handle(), POLLIN, 0};
    return poll_retrying(&entry, 1, timeout_ms) > 0;
}

} // namespace velmora::platform
