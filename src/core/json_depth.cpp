#include "core/json_depth.h"

namespace velmora {

bool json_nesting_within(std::string_view text, int max_depth)
{
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i; // the escaped character, whatever it is
            else if (c == '"')
                in_string = false;
            continue;
        }
        switch (c) {
        case '"':
            in_string = true;
            break;
        case '{':
        case '[':
            if (++depth > max_depth)
                return false;
            break;
        case '}':
        case ']':
            // Never below zero: stray closers must not buy room for deeper nesting later.
            if (depth > 0)
                --depth;
            break;
        default:
            break;
        }
    }
    return true;
}

} // namespace velmora
