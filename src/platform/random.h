#pragma once

#include <cstddef>

namespace velmora::platform {

// Fills buffer with bytes from the operating system's cryptographic random source.
// Returns false, leaving the buffer's content unspecified, when the source fails.
bool random_bytes(void *buffer, std::size_t length);

} // namespace velmora::platform
