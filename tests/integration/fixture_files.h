#pragma once

#include "platform/text.h"

#include <string>

// The test installers and certificates that tests/fixtures/make-installers.sh makes.
inline std::string fixture(const std::string &name)
{
    return std::string(VELMORA_TEST_FIXTURES) + "/" + name;
}

inline std::u16string wide(const std::string &text)
{
    return velmora::platform::utf8_to_utf16(text);
}
