// An installer file as a download might deliver it: the PE layout, the certificate table and the
// signature in it, read by the signature check from an in-memory file.
#include "platform/code_signature.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    int file = memfd_create("installer", MFD_CLOEXEC);
    if (file < 0)
        return 0;
    if (size == 0 || ::write(file, data, size) == static_cast<ssize_t>(size)) {
        std::string path = "/proc/self/fd/" + std::to_string(file);
        velmora::platform::check_code_signature(std::u16string(path.begin(), path.end()));
    }
    ::close(file);
    return 0;
}
