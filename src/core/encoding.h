#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

// Percent-encodes every byte except ASCII letters, digits and "-._~".
std::string url_encode(const std::string &text);

// "+" becomes a space and "%XX" the byte XX; malformed escapes pass through literally.
std::string url_decode(const std::string &text);

// Standard RFC 4648 alphabet with "=" padding, no line breaks.
std::string base64_encode(const std::uint8_t *bytes, std::size_t length);

} // namespace velmora
