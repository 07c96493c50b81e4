// What position 0 of an input stands for (--start-time).
#pragma once

#include <cstdint>
#include <string>

#include "core/common.h"

namespace quorvel::tools {

// "2024-05-06T14:00:00", with optional ".mmm" and "Z" or "+hh:mm" (-12:00 to
// +14:00); a space may stand for the T. Without a zone the system's local time
// zone is taken. False (and `t` untouched) for anything else, a date that does
// not exist or text after the zone included.
bool ParseStartTime(const std::string& text, DateTime& t, std::int64_t& offsetMinutes);

}  // namespace quorvel::tools
