#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

// Paths and the updater's network strings are UTF-16, as Windows takes them; here they are turned
// back into UTF-8 bytes at the system call.
// Invalid sequences become U+FFFD, as Windows' flag-less conversion does.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

#ifdef _WIN32
inline constexpr char16_t path_separator = u'\\';
#else
inline constexpr char16_t path_separator = u'/';
#endif

} // namespace velmora::platform
