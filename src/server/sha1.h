#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

// FIPS 180-4 SHA-1; used only for the WebSocket handshake's accept value.
std::array<std::uint8_t, 20> sha1(const void *data, std::size_t length);

inline std::array<std::uint8_t, 20> sha1(const std::string &text)
{
    return sha1(text.data(), text.size());
}

} // namespace velmora
