// The WebSocket frame reader over a byte stream taken from the input.
#include "server/websocket.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::size_t offset = 0;
    velmora::FrameReader reader;
    reader.read_exact = [&](void *buffer, std::size_t length) {
        if (length > size - offset)
            return false;
        std::memcpy(buffer, data + offset, length);
        offset += length;
        return true;
    };
    reader.keep_running = [] { return true; };
    reader.on_control = [](std::uint8_t opcode, const std::string &) {
        if (opcode != velmora::opcode_close && opcode != velmora::opcode_ping)
            __builtin_trap();
    };
    reader.on_message = [](const std::string &message) {
        if (message.size() > velmora::max_message_bytes)
            __builtin_trap();
    };
    reader.run();
    return 0;
}
