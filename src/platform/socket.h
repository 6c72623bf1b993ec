#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

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
// The listener never blocks: accept answers at once, with no connection when none waits.
bool start_listening(socket_t socket, int backlog);

enum class AcceptResult { accepted, none_waiting, failed };
// Accepts one waiting connection as a non-blocking socket; peer_ipv4 receives the peer's
// address in host byte order. failed means the system could not give us one (out of
// descriptors, for one): the caller backs off.
AcceptResult accept_connection(socket_t listener, socket_t &accepted, std::uint32_t &peer_ipv4);

// Moving bytes on a non-blocking socket: the byte count, or one of these.
inline constexpr long io_closed = 0;       // the peer closed (receiving only)
inline constexpr long io_would_block = -1; // nothing can move now; wait for the socket
inline constexpr long io_failed = -2;      // the connection is broken
long receive_some(socket_t socket, void *buffer, std::size_t length);
// Sending to a peer that went away reports io_failed instead of raising a signal.
long send_some(socket_t socket, const void *buffer, std::size_t length);

// Fixes how much the system buffers for sending on the socket, instead of letting it grow.
void limit_send_buffer(socket_t socket, int bytes);

// Ends both directions; a thread waiting on the socket wakes at once.
void shutdown_socket(socket_t socket);
// Gives the handle back to the system; it may be handed out again at once.
void release_socket(socket_t socket);

// Wakes threads waiting in wait_socket or wait_signal from any other thread. Raised it stays
// raised until lowered, so a wake that comes before the wait is not lost.
class WakeSignal {
  public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    // False when the system gave us no signal; waits then see only their sockets and time-outs.
    bool valid() const;
    void raise() const;
    void lower() const;
    // An eventfd here; on Windows a UDP socket sent to itself, so it can share a WSAPoll wait.
    socket_t handle() const { return handle_; }

  private:
    socket_t handle_;
};

enum Readiness : unsigned {
    ready_none = 0, // the time-out passed
    ready_read = 1,
    ready_write = 2,
    ready_woken = 4,
    ready_error = 8,
};
// Waits until the socket can be read (or written, when asked), a signal is raised, or
// timeout_ms passes (-1: no limit). Returns the Readiness bits that hold.
unsigned wait_socket(socket_t socket, bool want_read, bool want_write,
                     std::initializer_list<const WakeSignal *> wakers, int timeout_ms);

struct SocketWait {
    socket_t socket;
    bool want_read;
    bool want_write;
    unsigned readiness = ready_none; // filled in by wait_sockets
};
// Waits for many sockets at once, as wait_socket does for one; fills in each socket's readiness.
// Returns ready_woken when a signal was raised, ready_error when the wait itself failed.
unsigned wait_sockets(std::span<SocketWait> sockets, std::initializer_list<const WakeSignal *> wakers,
                      int timeout_ms);
// Waits for a signal alone; true when it was raised.
bool wait_signal(const WakeSignal &signal, int timeout_ms);

} // namespace velmora::platform
