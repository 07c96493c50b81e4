// National variants of POCSAG's 7-bit text: eleven positions (# @ [ \ ] ^ ` { |
// } ~) stand for other letters in each country's pagers.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

enum class Charset { US, DE, FR, SE, DK, SI };

// "US", "DE", ... (any case); false for another name.
bool ParseCharset(std::string_view name, Charset& out);

// POCSAG alpha text as our events carry it (7-bit characters with the German
// positions already as Windows-1252 umlauts, control characters as <NUL>...
// tokens) in UTF-8 with the positions of `charset`.
std::string PocsagText(std::string_view eventText, Charset charset);

}  // namespace quorvel
