#include "core/tokens.h"

#include "platform/random.h"

#include <vector>

namespace velmora {

std::string random_token(std::size_t n)
{
    std::vector<unsigned char> bytes(n, 0);
    if (!platform::random_bytes(bytes.data(), n))
        return {};

    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    token.reserve(2 * n);
    for (unsigned char byte : bytes) {
        token.push_back(digits[byte >> 4]);
        token.push_back(digits[byte & 0x0f]);
    }
    return token;
}

bool tokens_equal(const std::string &a, const std::string &b)
{
    if (a.size() != b.size() || a.empty())
        return false;
    // Visit every byte so the time depends on the length only, not on where they differ.
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace velmora
