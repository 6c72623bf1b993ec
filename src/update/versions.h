#pragma once

#include <string_view>

namespace velmora {

// 1 to 20 characters, only digits and dots, exactly two dots.
bool is_version(std::string_view text);
// -1, 0 or 1 as a is older, the same or newer than b, read as three numbers "major.minor.patch".
// A side that is not three numbers, or holds one too large to read, counts as 0.0.0.
int compare_versions(std::string_view a, std::string_view b);

} // namespace velmora
