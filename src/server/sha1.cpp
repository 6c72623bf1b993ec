#include "server/sha1.h"

#include <cstring>

namespace velmora {

namespace {

std::uint32_t rotate_left(std::uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

void process_block(std::uint32_t state[5], const std::uint8_t block[64])
{
    std::uint32_t w[80];
    for (std::size_t i = 0; i < 16; ++i) {
        w[i] = (std::uint32_t(block[4 * i]) << 24) | (std::uint32_t(block[4 * i + 1]) << 16) |
               (std::uint32_t(block[4 * i + 2]) << 8) | std::uint32_t(block[4 * i + 3]);
    }
    for (std::size_t i = 16; i < 80; ++i)
        w[i] = rotate_left(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        std::uint32_t next = rotate_left(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotate_left(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

} // namespace

std::array<std::uint8_t, 20> sha1(const void *data, std::size_t length)
{
    std::uint32_t state[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    const auto *bytes = static_cast<const std::uint8_t *>(data);

    std::size_t whole = length - length % 64;
    for (std::size_t offset = 0; offset < whole; offset += 64)
        process_block(state, bytes + offset);

    // The tail, a 0x80 byte, zeros and the bit length fill one or two final blocks.
    std::uint8_t tail[128] = {};
    std::size_t rest = length - whole;
    if (rest)
        std::memcpy(tail, bytes + whole, rest);
    tail[rest] = 0x80;
    std::size_t tail_length = rest + 1 + 8 <= 64 ? 64 : 128;
    std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tail_length - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    process_block(state, tail);
    if (tail_length == 128)
        process_block(state, tail + 64);

    std::array<std::uint8_t, 20> digest{};
    for (std::size_t i = 0; i < 5; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(state[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(state[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(state[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(state[i]);
    }
    return digest;
}

} // namespace velmora
