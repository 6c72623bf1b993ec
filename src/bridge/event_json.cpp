#include "bridge/event_json.h"

#include <cmath>
#include <cstdio>

namespace velmora {

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (unsigned char c : text) {
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
                std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
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
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", value);
    members_ += number;
    // A whole number stays recognisably a real number, as OBS's writer prints it.
    std::string_view written(number);
    if (written.find_first_of(".eE") == std::string_view::npos)
        members_ += ".0";
    return *this;
}

} // namespace velmora
