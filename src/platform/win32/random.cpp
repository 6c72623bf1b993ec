#include "platform/random.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

namespace velmora::platform {

bool random_bytes(void *buffer, std::size_t length)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    while (length > 0) {
        ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(length, 1u << 30));
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        bytes += chunk;
        length -= chunk;
    }
    return true;
}

} // namespace velmora::platform
