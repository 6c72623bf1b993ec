#include "module/tokens.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using velmora::random_token;
using velmora::tokens_equal;

TEST(RandomToken, HasTwoLowerCaseHexDigitsPerByte)
{
    EXPECT_TRUE(std::regex_match(random_token(32), std::regex("[0-9a-f]{64}")));
    EXPECT_TRUE(std::regex_match(random_token(24), std::regex("[0-9a-f]{48}")));
    EXPECT_EQ(random_token(0), "");
}

TEST(RandomToken, DoesNotRepeatAndUsesEveryDigit)
{
    std::set<std::string> seen;
    std::set<char> digits;
    for (int i = 0; i < 200; ++i) {
        std::string token = random_token(32);
        EXPECT_TRUE(seen.insert(token).second);
        digits.insert(token.begin(), token.end());
    }
    EXPECT_EQ(digits.size(), 16u);
}

TEST(TokensEqual, EmptyNeverMatches)
{
    EXPECT_FALSE(tokens_equal("", ""));
    EXPECT_FALSE(tokens_equal("", "a"));
    EXPECT_FALSE(tokens_equal("a", ""));
}

TEST(TokensEqual, ComparesWholeStrings)
{
    std::string token = random_token(32);
    EXPECT_TRUE(tokens_equal(token, std::string(token)));
    EXPECT_FALSE(tokens_equal(token, token.substr(0, 63)));
    EXPECT_FALSE(tokens_equal(token + "0", token));

    std::string last = token;
    last.back() = last.back() == '0' ? '1' : '0';
    EXPECT_FALSE(tokens_equal(token, last));
    std::string first = token;
    first.front() = first.front() == '0' ? '1' : '0';
    EXPECT_FALSE(tokens_equal(token, first));

    EXPECT_FALSE(tokens_equal("abc", "ABC"));
    EXPECT_TRUE(tokens_equal(std::string("a\0b", 3), std::string("a\0b", 3)));
    EXPECT_FALSE(tokens_equal(std::string("a\0b", 3), std::string("a\0c", 3)));
}
