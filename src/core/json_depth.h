#pragma once

#include <string_view>

namespace velmora {

// Deep enough for every message the dock sends, shallow enough that parsing and writing a
// message back never come near the end of a connection thread's stack.
inline constexpr int max_json_depth = 32;

// True when no object or array in text lies deeper than max_depth levels. Brackets inside
// strings do not count; malformed text is left to the parser to refuse.
bool json_nesting_within(std::string_view text, int max_depth = max_json_depth);

} // namespace velmora
