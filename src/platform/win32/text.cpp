#include "platform/text.h"

#include <windows.h>

#include <climits>

namespace velmora::platform {

std::u16string utf8_to_utf16(std::string_view text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    int length = static_cast<int>(text.size());
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (units <= 0)
        return {};
    std::u16string out(static_cast<std::size_t>(units), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, reinterpret_cast<wchar_t *>(out.data()), units);
    return out;
}

std::string utf16_to_utf8(std::u16string_view text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    auto wide = reinterpret_cast<const wchar_t *>(text.data());
    int length = static_cast<int>(text.size());
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), bytes, nullptr, nullptr);
    return out;
}

} // namespace velmora::platform
