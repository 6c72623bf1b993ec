#include "platform/socket.h"

namespace velmora::platform {

unsigned wait_socket(socket_t socket, bool want_read, bool want_write,
                     std::initializer_list<const WakeSignal *> wakers, int timeout_ms)
{
    SocketWait wait{socket, want_read, want_write};
    unsigned woken = wait_sockets({&wait, 1}, wakers, timeout_ms);
    return woken == ready_error ? ready_error : (wait.readiness | woken);
}

} // namespace velmora::platform
