#include "server/sha1.h"
#include "server/websocket.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

std::string hex(const std::array<std::uint8_t, 20> &digest)
{
    std::string out;
    char pair[3];
    for (auto byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        out += pair;
    }
    return out;
}

} // namespace

TEST(Sha1, Fips180Vectors)
{
    EXPECT_EQ(hex(velmora::sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hex(velmora::sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(velmora::sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(velmora::sha1("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoij"
                                "klmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
              "a49b2446a02c645bf419f995b67091253a04a259");
    EXPECT_EQ(hex(velmora::sha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, PaddingBoundaries)
{
    // 55, 56 and 64 bytes put the length field in the first, second and a fresh block.
    EXPECT_EQ(hex(velmora::sha1(std::string(55, 'a'))), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(hex(velmora::sha1(std::string(56, 'a'))), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(hex(velmora::sha1(std::string(64, 'a'))), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

TEST(WebSocketAccept, MatchesTheProtocolExample)
{
    EXPECT_EQ(velmora::websocket_accept_value("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(FrameEncoding, UsesTheShortestLengthForm)
{
    using velmora::encode_frame;
    auto frame = [](std::size_t n) { return encode_frame(velmora::opcode_text, std::string(n, 'x')); };
    EXPECT_EQ(static_cast<unsigned char>(frame(125)[0]), 0x81);
    EXPECT_EQ(static_cast<unsigned char>(frame(125)[1]), 125);
    EXPECT_EQ(frame(125).size(), 2u + 125);
    EXPECT_EQ(static_cast<unsigned char>(frame(126)[1]), 126);
    EXPECT_EQ(frame(126).substr(2, 2), std::string("\x00\x7e", 2));
    EXPECT_EQ(frame(126).size(), 4u + 126);
    EXPECT_EQ(frame(65535).substr(1, 3), std::string("\x7e\xff\xff", 3));
    EXPECT_EQ(static_cast<unsigned char>(frame(65536)[1]), 127);
    EXPECT_EQ(frame(65536).substr(2, 8), std::string("\0\0\0\0\0\x01\0\0", 8));
    EXPECT_EQ(frame(65536).size(), 10u + 65536);
    EXPECT_EQ(encode_frame(velmora::opcode_close, ""), std::string("\x88\x00", 2));
}
