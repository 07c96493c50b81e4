// How a FLEX page reads: the text line and the one-line form pager viewers and
// alarm stations expect (pipe-separated); the FLEX kind (flex_kind.cpp) uses
// them.
#pragma once

#include <string>

#include "core/common.h"
#include "core/events.h"

namespace quorvel::flex {

const char* ModeName(FlexMode m);           // "1600/2"
char PhaseName(std::int32_t phase);         // 'A'..'D'
const char* TypeCode(FlexPageType t);       // "ALN", "NUM", "TON", "BIN", "SEC"
const char* TypeName(FlexPageType t);       // "alpha", "numeric", ...
char FragmentCode(FlexFragments f);         // 'K' whole, 'F' more follow, 'C' the last
// The capcode with at least 9 digits.
std::string CapcodeText(std::uint64_t capcode);
// The message as shown: the text, or for binary and secure pages the raw
// words' 21 bits as six hex digits each, space separated (Windows-1252).
std::string MessageText(const FlexPage& page);

// "HH:MM:SS\tFLEX 1600/2/A 03.005\t000123456\tALN\tHello World\r\n" (the time
// in the clock's long format, Windows-1252 bytes).
void AppendTextLine(const FlexPage& page, std::string& out);
// "FLEX|2024-05-06 14:03:07|1600/2/K/A|03.005|000123456|ALN|Hello World" (no line end).
std::string CompatLine(const FlexPage& page, const DateTime& when);

}  // namespace quorvel::flex
