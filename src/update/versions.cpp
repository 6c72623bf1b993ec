#include "update/versions.h"

#include <array>
#include <climits>
#include <cstdint>

namespace velmora {

bool is_version(std::string_view text)
{
    if (text.empty() || text.size() > 20)
        return false;
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 2;
}

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads an int the way "%d" does (leading blanks, a sign, digits), but refuses what an int cannot
// hold instead of overflowing.
bool read_number(std::string_view text, std::size_t &at, int &value)
{
    while (at < text.size() && is_space(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    std::size_t first = at;
    std::int64_t number = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        number = number * 10 + (text[at++] - '0');
        if (number > static_cast<std::int64_t>(INT_MAX) + 1)
            return false;
    }
    if (at == first || (!negative && number > INT_MAX))
        return false;
    value = static_cast<int>(negative ? -number : number);
    return true;
}

std::array<int, 3> read_version(std::string_view text)
{
    std::array<int, 3> parts{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 && (at >= text.size() || text[at++] != '.'))
            return {};
        if (!read_number(text, at, parts[i]))
            return {};
    }
    return parts;
}

} // namespace

int compare_versions(std::string_view a, std::string_view b)
{
    std::array<int, 3> left = read_version(a), right = read_version(b);
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (left[i] != right[i])
            return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}

} // namespace velmora
