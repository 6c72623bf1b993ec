#include "module/encoding.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string decoded = velmora::url_decode(text);
    if (decoded.size() > text.size())
        __builtin_trap();
    if (velmora::url_decode(velmora::url_encode(text)) != text)
        __builtin_trap();
    return 0;
}
