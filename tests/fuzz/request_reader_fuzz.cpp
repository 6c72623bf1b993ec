// The request reader fed in pieces whose sizes come from the input itself.
#include "server/http_request.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::size_t piece = 1 + data[0] % 64 * 64; // 1 .. 4033 bytes per receive
    velmora::RequestAssembler assembler;
    auto status = velmora::RequestAssembler::Status::need_more;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    std::size_t length = size - 1;
    for (std::size_t i = 0; i < length && status == velmora::RequestAssembler::Status::need_more;
         i += piece) {
        std::size_t n = length - i < piece ? length - i : piece;
        status = assembler.feed(bytes + i, n);
    }
    if (status == velmora::RequestAssembler::Status::complete) {
        const auto &request = assembler.request();
        if (request.path.empty() || request.path[0] != '/' || request.body.size() > 65536)
            __builtin_trap();
    }
    return 0;
}
