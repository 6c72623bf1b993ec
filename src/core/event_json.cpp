#include "core/event_json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace velmora {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t utf8_sequence_length(const std::string &text, std::size_t i)
{
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t length;
    unsigned min_second = 0x80, max_second = 0xbf;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            min_second = 0xa0; // no overlong forms
        if (lead == 0xed)
            max_second = 0x9f; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            min_second = 0x90;
        if (lead == 0xf4)
            max_second = 0x8f; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    if (byte(i + 1) < min_second || byte(i + 1) > max_second)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80)
            return 0;
    }
    return length;
}

} // namespace

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // A browser drops a WebSocket whose text is not UTF-8, so bad bytes become U+FFFD.
            std::size_t length = utf8_sequence_length(text, i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";
            } else {
                out.append(text, i, length);
                i += length - 1;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                (void)std::snprintf(escaped, sizeof escaped, "\\u%04X", c); // always fits
                out += escaped;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out += '"';
    return out;
}

void EventJson::add_name(const char *name)
{
    if (members_.size() > 1)
        members_ += ',';
    members_ += json_string(name);
    members_ += ':';
}

EventJson &EventJson::add_string(const char *name, const std::string &value)
{
    add_name(name);
    members_ += json_string(value);
    return *this;
}

EventJson &EventJson::add_bool(const char *name, bool value)
{
    add_name(name);
    members_ += value ? "true" : "false";
    return *this;
}

EventJson &EventJson::add_int(const char *name, long long value)
{
    add_name(name);
    members_ += std::to_string(value);
    return *this;
}

EventJson &EventJson::add_double(const char *name, double value)
{
    add_name(name);
    if (!std::isfinite(value)) {
        members_ += "null"; // JSON has no infinity or NaN
        return *this;
    }
    // to_chars ignores the C locale, whose decimal mark may be a comma, and writes the shortest
    // text that reads back as the same number.
    char number[32];
    auto end = std::to_chars(number, number + sizeof number, value).ptr;
    std::string_view written(number, static_cast<std::size_t>(end - number));
    members_ += written;
    // A whole number stays recognisably a real number, as OBS's writer prints it.
    if (written.find_first_of(".eE") == std::string_view::npos)
        members_ += ".0";
    return *this;
}

} // namespace velmora
