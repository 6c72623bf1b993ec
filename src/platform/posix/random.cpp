#include "platform/random.h"

#include <cerrno>
#include <sys/random.h>

namespace velmora::platform {

bool random_bytes(void *buffer, std::size_t length)
{
    auto *out = static_cast<unsigned char *>(buffer);
    std::size_t filled = 0;
    // getrandom may return fewer bytes than asked for large requests or when interrupted.
    while (filled < length) {
        ssize_t got = getrandom(out + filled, length - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace velmora::platform
