#include "module/encoding.h"

#include <gtest/gtest.h>

using velmora::base64_encode;
using velmora::url_decode;
using velmora::url_encode;

TEST(UrlEncode, KeepsUnreservedAndEscapesEverythingElseInUpperCase)
{
    EXPECT_EQ(url_encode("a b/c~"), "a%20b%2Fc~");
    EXPECT_EQ(url_encode("\xC3\xA9"), "%C3%A9");
    EXPECT_EQ(url_encode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(url_encode("+=&?#%"), "%2B%3D%26%3F%23%25");
    EXPECT_EQ(url_encode(std::string("\0\xff", 2)), "%00%FF");
    EXPECT_EQ(url_encode(""), "");
}

TEST(UrlDecode, DecodesEscapesAndPlus)
{
    EXPECT_EQ(url_decode("a+b%20c"), "a b c");
    EXPECT_EQ(url_decode("%41%4a"), "AJ");
    EXPECT_EQ(url_decode("%2B"), "+");
    EXPECT_EQ(url_decode("%2B%2B"), "++") << "a decoded plus is not decoded again";
    EXPECT_EQ(url_decode("%00x"), std::string("\0x", 2));
    EXPECT_EQ(url_decode("%C3%A9"), "\xC3\xA9");
}

TEST(UrlDecode, MalformedEscapesPassThrough)
{
    EXPECT_EQ(url_decode("100%"), "100%");
    EXPECT_EQ(url_decode("%4"), "%4");
    EXPECT_EQ(url_decode("%zz"), "%zz");
    EXPECT_EQ(url_decode("%%41"), "%A");
    EXPECT_EQ(url_decode("%4g1"), "%4g1");
    EXPECT_EQ(url_decode(""), "");
}

TEST(UrlDecode, InvertsEncodeForEveryByte)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    EXPECT_EQ(url_decode(url_encode(all)), all);
}

TEST(Base64, Rfc4648Vectors)
{
    auto encode = [](const std::string &text) {
        return base64_encode(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
    };
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("a"), "YQ==");
    EXPECT_EQ(encode("ab"), "YWI=");
    EXPECT_EQ(encode("abc"), "YWJj");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
    EXPECT_EQ(encode(std::string(57, '\0')).size(), 76u) << "no line breaks";
}
