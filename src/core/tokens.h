#pragma once

#include <cstddef>
#include <string>

namespace velmora {

// 2n lower-case hexadecimal characters from n random bytes; empty when the random source fails.
std::string random_token(std::size_t n);

// Constant-time comparison for secrets. An empty token never matches, not even another empty one.
bool tokens_equal(const std::string &a, const std::string &b);

} // namespace velmora
