#pragma once

#include <string>

namespace velmora {

// The JSON text of one bridge event, members in the order they are added. OBS's settings
// objects of this SDK write members sorted by name, and the docks rely on the documented order
// ("event" first), so events are written here with the same escaping OBS's writer uses.
class EventJson {
  public:
    explicit EventJson(const char *event) { add_string("event", event); }

    EventJson &add_string(const char *name, const std::string &value);
    EventJson &add_bool(const char *name, bool value);
    EventJson &add_int(const char *name, long long value);
    EventJson &add_double(const char *name, double value);

    std::string text() const { return members_ + "}"; }

  private:
    void add_name(const char *name);
    std::string members_ = "{";
};

// A JSON string literal for text, escaping quotes, backslashes and control characters; bytes
// that are not UTF-8 become U+FFFD.
std::string json_string(const std::string &text);

} // namespace velmora
