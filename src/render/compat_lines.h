// The output lines of quorvel-compat: the lines alarm stations and pager viewers
// read from the decoder they start, one per call. Stations cut these lines at
// fixed byte positions, so every width here is exact:
//
//   POCSAG1200: Address: 1234567  Function: 0  Alpha:   TEXT
//   POCSAG512: Address:    7654  Function: 1             (tone only: ends in a space)
//   FMS: <12 hex> (<org>=<14>\t<land>=<16>\tOrt 0x<2>=<3 dec>\tFZG <4>\tStatus <s>=<14>\t
//        <dir>=<FZG->LST|LST->FZG>\t<tac>=<22>\t) CRC correct
//   ZVEI1: 16E02
//
// Pure functions of explicit values: no events, no options, no line end.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/pocsag_charsets.h"

namespace quorvel::compat {

using quorvel::Charset;
using quorvel::ParseCharset;
using quorvel::PocsagText;

enum class PocsagTextKind { Tone, Numeric, Alpha };

// The rate a line names: 512, 1200 or 2400 when the measured rate lies within
// 10 % of it, else the measured rate rounded.
int PocsagLineRate(double measuredRate);

// One POCSAG call; `utf8Text` is ignored for a tone-only call.
std::string PocsagCompatLine(int rate, std::uint32_t ric, int function, PocsagTextKind kind,
                             std::string_view utf8Text);

// An FMS status telegram from its 48 bits in order of reception (0 or 1 each).
std::string FmsCompatLine(const std::array<std::uint8_t, 48>& bits);
// The short form (-j): "FMS: <12 hex> CRC correct".
std::string FmsShortCompatLine(const std::array<std::uint8_t, 48>& bits);
// The 48 bits as 12 lowercase hex digits, the last bit received first.
std::string FmsCompatHex(const std::array<std::uint8_t, 48>& bits);

// The five digits of a tone sequence, a repeat tone written E. False when a
// tone is missing or is not a digit or the repeat tone of its table (such a
// sequence has no line a station could read).
bool ToneCompatDigits(int table, const std::array<std::int32_t, 5>& entries, int count, std::string& digits);
// "ZVEI1: 16E02" (table 0) or "CCIR: 9E0E2" (table 3); empty for another table.
std::string ToneCompatLine(int table, std::string_view digits);

}  // namespace quorvel::compat
