#include "core/encoding.h"
#include "server/http_request.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    auto parameters = velmora::parse_query(text);
    std::size_t total = 0;
    for (const auto &[name, value] : parameters)
        total += name.size() + value.size();
    if (total > text.size())
        __builtin_trap(); // decoding never makes text longer
    if (velmora::url_decode(velmora::url_encode(text)) != text)
        __builtin_trap();
    return 0;
}
