#include "platform/random.h"

#include <climits>
#include <openssl/rand.h>

namespace velmora::platform {

bool random_bytes(void *buffer, std::size_t length)
{
    auto *out = static_cast<unsigned char *>(buffer);
    while (length > 0) {
        int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
        if (RAND_bytes(out, chunk) != 1)
            return false;
        out += chunk;
        length -= static_cast<std::size_t>(chunk);
    }
    return true;
}

} // namespace velmora::platform
