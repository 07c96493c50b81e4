// Checks on UTF-8 text from users: alias files, MQTT topics.
#pragma once

#include <string_view>

namespace quorvel::station {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(std::string_view s);

// A control character: U+0000 to U+001F, U+007F to U+009F.
bool HasControlCharacter(std::string_view utf8);

}  // namespace quorvel::station
