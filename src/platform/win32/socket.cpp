#include "platform/socket.h"

// winsock2.h must come before windows.h, which would bring the old Winsock in.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <vector>

namespace velmora::platform {

bool start_networking()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void stop_networking()
{
    WSACleanup();
}

namespace {

// Sockets are inheritable by default; an installer we start must not keep our port open.
void keep_from_children(SOCKET socket)
{
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

bool set_non_blocking(SOCKET socket)
{
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

} // namespace

socket_t open_tcp_socket()
{
    SOCKET socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET)
        return invalid_socket;
    if (!set_non_blocking(socket)) {
        closesocket(socket);
        return invalid_socket;
    }
    return socket;
}

void set_exclusive_address_use(socket_t socket)
{
    // Without it, another program could bind the same address with SO_REUSEADDR and take our
    // connections.
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on), sizeof on);
}

bool bind_loopback(socket_t socket, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) != 1)
        return false;
    return bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

bool start_listening(socket_t socket, int backlog)
{
    return listen(socket, backlog) == 0;
}

AcceptResult accept_connection(socket_t listener, socket_t &accepted, std::uint32_t &peer_ipv4)
{
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET socket = accept(listener, reinterpret_cast<sockaddr *>(&peer), &length);
    if (socket == INVALID_SOCKET) {
        // A connection that was reset while it waited is gone; anything else is the system
        // refusing us resources.
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAEINTR)
            return AcceptResult::none_waiting;
        return AcceptResult::failed;
    }
    // An accepted socket takes the listener's non-blocking mode, but not its inheritance flag.
    keep_from_children(socket);
    if (!set_non_blocking(socket)) {
        closesocket(socket);
        return AcceptResult::none_waiting;
    }
    accepted = socket;
    peer_ipv4 = peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
    // A response head and its body, or a WebSocket frame, must not wait for the peer's delayed
    // acknowledgement of the previous write.
    BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    return AcceptResult::accepted;
}

namespace {

long io_result(int moved)
{
    if (moved != SOCKET_ERROR)
        return moved;
    return WSAGetLastError() == WSAEWOULDBLOCK ? io_would_block : io_failed;
}

int chunk(std::size_t length)
{
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

} // namespace

long receive_some(socket_t socket, void *buffer, std::size_t length)
{
    return io_result(recv(socket, static_cast<char *>(buffer), chunk(length), 0));
}

long send_some(socket_t socket, const void *buffer, std::size_t length)
{
    // Winsock raises no signal for a peer that went away; the send just fails.
    int sent = send(socket, static_cast<const char *>(buffer), chunk(length), 0);
    if (sent == 0 && length > 0)
        return io_would_block;
    return io_result(sent);
}

void limit_send_buffer(socket_t socket, int bytes)
{
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes);
}

void shutdown_socket(socket_t socket)
{
    shutdown(socket, SD_BOTH);
}

void release_socket(socket_t socket)
{
    closesocket(socket);
}

// A wake signal is a UDP socket sent to itself: a datagram waiting makes it readable, so it
// joins the sockets of one WSAPoll call (events would cap a wait at 64 handles) and stays raised
// until drained.
WakeSignal::WakeSignal() : handle_(invalid_socket)
{
    // Signals may be made before the server starts networking; each holds Winsock for itself.
    if (!start_networking())
        return;
    SOCKET socket = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (socket != INVALID_SOCKET &&
        bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
        connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        set_non_blocking(socket)) {
        handle_ = socket;
        return;
    }
    if (socket != INVALID_SOCKET)
        closesocket(socket);
    stop_networking();
}

WakeSignal::~WakeSignal()
{
    if (handle_ == invalid_socket)
        return;
    closesocket(handle_);
    stop_networking();
}

bool WakeSignal::valid() const
{
    return handle_ != invalid_socket;
}

void WakeSignal::raise() const
{
    if (handle_ == invalid_socket)
        return;
    // A full buffer is still raised; nothing to do then.
    char one = 1;
    send(handle_, &one, 1, 0);
}

void WakeSignal::lower() const
{
    if (handle_ == invalid_socket)
        return;
    char drained[64];
    while (recv(handle_, drained, sizeof drained, 0) > 0) {
    }
}

namespace {

unsigned readiness_of(short events, bool want_read)
{
    unsigned readiness = ready_none;
    if (events & (POLLERR | POLLNVAL))
        readiness |= ready_error;
    // A hang-up is readable: the next receive reports it. It says nothing to a writer: WSAPoll
    // reports it as soon as the peer shuts its sending side, which may still read.
    if ((events & POLLRDNORM) || ((events & POLLHUP) && want_read))
        readiness |= ready_read;
    if (events & POLLWRNORM)
        readiness |= ready_write;
    return readiness;
}

// While a hung-up peer is only being written to, WSAPoll returns at once every time; waits then
// go on in short steps instead of spinning.
constexpr int hang_up_step_ms = 20;

} // namespace

unsigned wait_sockets(std::span<SocketWait> sockets, std::initializer_list<const WakeSignal *> wakers,
                      int timeout_ms)
{
    // A connection thread waits on one socket and two signals: no allocation for that.
    WSAPOLLFD few[8];
    std::vector<WSAPOLLFD> many;
    std::size_t total = sockets.size() + wakers.size();
    WSAPOLLFD *entries = few;
    if (total > std::size(few)) {
        many.resize(total);
        entries = many.data();
    }
    std::size_t count = 0;
    for (const SocketWait &wait : sockets) {
        // WSAPoll refuses POLLPRI and the flags it only reports.
        short events =
            static_cast<short>((wait.want_read ? POLLRDNORM : 0) | (wait.want_write ? POLLWRNORM : 0));
        entries[count++] = {wait.socket, events, 0};
    }
    for (const WakeSignal *signal : wakers) {
        if (signal && signal->valid())
            entries[count++] = {signal->handle(), POLLRDNORM, 0};
    }
    if (count == 0) {
        Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
        return ready_none;
    }
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
    for (int wait_ms = timeout_ms;;) {
        for (std::size_t i = 0; i < count; ++i)
            entries[i].revents = 0;
        int result = WSAPoll(entries, static_cast<ULONG>(count), wait_ms);
        if (result == SOCKET_ERROR)
            return ready_error;
        unsigned woken = ready_none;
        bool anything = false, hung_up = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (i < sockets.size()) {
                sockets[i].readiness = readiness_of(entries[i].revents, sockets[i].want_read);
                anything |= sockets[i].readiness != ready_none;
                hung_up |= entries[i].revents != 0 && sockets[i].readiness == ready_none;
            } else if (entries[i].revents) {
                woken = ready_woken;
            }
        }
        if (anything || woken || !hung_up)
            return woken;
        ULONGLONG now = GetTickCount64();
        if (timeout_ms >= 0 && now >= deadline)
            return ready_none;
        int step = timeout_ms < 0 ? hang_up_step_ms
                                  : static_cast<int>(std::min<ULONGLONG>(hang_up_step_ms, deadline - now));
        Sleep(static_cast<DWORD>(step));
        if (timeout_ms >= 0) {
            now = GetTickCount64();
            wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
    }
}

bool wait_signal(const WakeSignal &signal, int timeout_ms)
{
    if (!signal.valid()) {
        Sleep(timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms));
        return false;
    }
    WSAPOLLFD entry{signal.handle(), POLLRDNORM, 0};
    return WSAPoll(&entry, 1, timeout_ms) > 0;
}

} // namespace velmora::platform
