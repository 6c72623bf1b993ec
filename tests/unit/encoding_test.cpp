// Tokens, text encodings and the WebSocket handshake's digest: pure functions, checked by table.
#include "core/encoding.h"
#include "core/tokens.h"
#include "platform/text.h"
#include "server/sha1.h"
#include "server/websocket.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace velmora;
using Pair = std::pair<std::string, std::string>;

TEST(Tokens, RandomLowerCaseHexAndConstantTimeEquality)
{
    EXPECT_EQ(random_token(0), "");
    std::string token = random_token(32), first = token;
    first.front() = first.front() == '0' ? '1' : '0';
    EXPECT_TRUE(tokens_equal(token, std::string(token)));
    EXPECT_TRUE(tokens_equal(std::string("a\0b", 3), std::string("a\0b", 3)));
    for (const auto &[a, b] : {Pair{"", ""},
                               {"", "a"},
                               {token, token.substr(0, 63)},
                               {token + "0", token},
                               {token, first},
                               {"abc", "ABC"},
                               {std::string("a\0b", 3), std::string("a\0c", 3)}})
        EXPECT_FALSE(tokens_equal(a, b)) << a << " " << b;
}

TEST(Encodings, UrlEncodingAndDecoding)
{
    for (auto [text, encoded] : {Pair{"a b/c~", "a%20b%2Fc~"},
                                 {"\xC3\xA9", "%C3%A9"},
                                 {"", ""},
                                 {"AZaz09-._~", "AZaz09-._~"},
                                 {"+=&?#%", "%2B%3D%26%3F%23%25"},
                                 {std::string("\0\xff", 2), "%00%FF"}})
        EXPECT_EQ(url_encode(text), encoded);
    for (auto [text, decoded] : {Pair{"%41%4a", "AJ"},
                                 {"%2B%2B", "++"},
                                 {"100%", "100%"},
                                 {"%00x", std::string("\0x", 2)},
                                 {"%4", "%4"},
                                 {"%zz", "%zz"},
                                 {"%%41", "%A"},
                                 {"%4g1", "%4g1"},
                                 {"", ""}})
        EXPECT_EQ(url_decode(text), decoded) << text;
}

TEST(Encodings, Base64Sha1AndFrames)
{
    auto base64 = [](const std::string &text) {
        return base64_encode(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
    };
    for (auto [text, encoded] : {Pair{"", ""}, {"a", "YQ=="}, {"abc", "YWJj"}, {"\xfb\xff\xbf", "+/+/"}})
        EXPECT_EQ(base64(text), encoded);
    EXPECT_EQ(base64(std::string(57, '\0')).size(), 76u) << "no line breaks";

    auto hex = [](const std::array<std::uint8_t, 20> &digest) {
        std::string out;
        char pair[3];
        for (auto byte : digest) {
            (void)std::snprintf(pair, sizeof pair, "%02x", byte);
            out += pair;
        }
        return out;
    };
    // FIPS 180 vectors; 55, 56 and 64 bytes put the length field in the first, second and a fresh block.
    for (auto [text, digest] : {Pair{"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
                                {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
                                {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                                 "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
                                {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
                                {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
                                {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
                                {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"}})
        EXPECT_EQ(hex(sha1(text)), digest) << text.size();

    // Outgoing frames take the shortest length form: 125, 126, 65535 and 65536 bytes.
    auto frame = [](std::size_t n) { return encode_frame(opcode_text, std::string(n, 'x')); };
    EXPECT_EQ(frame(125).substr(0, 2), "\x81\x7d");
    EXPECT_EQ(frame(126).substr(1, 3), std::string("\x7e\x00\x7e", 3));
    EXPECT_EQ(frame(65535).substr(1, 3), "\x7e\xff\xff");
    EXPECT_EQ(frame(65536).substr(1, 9), std::string("\x7f\0\0\0\0\0\x01\0\0", 9));
    EXPECT_EQ(frame(65536).size(), 10u + 65536);
}

// Windows converts with MultiByteToWideChar; the Linux build must give the same.
using velmora::platform::utf16_to_utf8;
using velmora::platform::utf8_to_utf16;

TEST(Encodings, Utf8AndUtf16AsWindowsConvertsThem)
{
    const std::pair<std::string, std::u16string> cases[] = {
        {"", u""},
        {"plain", u"plain"},
        {"Stra\xc3\x9f"
         "e \xe6\x97\xa5\xe6\x9c\xac",
         u"Stra\u00dfe \u65e5\u672c"},
        {"\xf0\x9f\x8e\xa5", u"\U0001F3A5"},
    };
    for (const auto &[utf8, utf16] : cases) {
        EXPECT_EQ(utf8_to_utf16(utf8), utf16) << utf8;
        EXPECT_EQ(utf16_to_utf8(utf16), utf8) << utf8;
    }
    EXPECT_EQ(utf8_to_utf16("a\xff"
                            "b"),
              u"a\ufffd"
              "b");
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t(0xd800))), "\xef\xbf\xbd") << "a lone surrogate";
}
