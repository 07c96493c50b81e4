#include "pocsag_charsets.h"

#include <array>
#include <cctype>
#include <string>
#include <utility>

#include "common.h"

namespace quorvel {

namespace {

// The positions that differ between the national variants, and what each
// variant puts there (UTF-8), in the order of Charset.
constexpr char kVariantCodes[] = "#@[\\]^`{|}~";
constexpr std::array<std::array<const char*, 6>, 11> kVariants = {{
    {"#", "#", "£", "#", "#", "#"},
    {"@", "§", "à", "É", "@", "Ž"},
    {"[", "Ä", "°", "Ä", "Æ", "Š"},
    {"\\", "Ö", "ç", "Ö", "Ø", "Đ"},
    {"]", "Ü", "§", "Å", "Å", "Ć"},
    {"^", "^", "^", "Ü", "^", "Č"},
    {"`", "`", "µ", "é", "`", "ž"},
    {"{", "ä", "é", "ä", "æ", "š"},
    {"|", "ö", "ù", "ö", "ø", "đ"},
    {"}", "ü", "è", "å", "å", "ć"},
    {"~", "ß", "¨", "ü", "~", "č"},
}};

// Our decoders write the German variant's letters as Windows-1252 bytes; back
// to the 7-bit code they were sent as.
char SevenBitCode(unsigned char c) {
    switch (c) {
        case 0xC4: return '[';
        case 0xD6: return '\\';
        case 0xDC: return ']';
        case 0xE4: return '{';
        case 0xF6: return '|';
        case 0xFC: return '}';
        case 0xDF: return '~';
        default: return 0;
    }
}

}  // namespace

bool ParseCharset(std::string_view name, Charset& out) {
    static constexpr std::array<std::pair<const char*, Charset>, 6> names = {{
        {"US", Charset::US}, {"DE", Charset::DE}, {"FR", Charset::FR},
        {"SE", Charset::SE}, {"DK", Charset::DK}, {"SI", Charset::SI},
    }};
    if (name.size() != 2) return false;
    for (const auto& [n, cs] : names) {
        if (std::toupper(static_cast<unsigned char>(name[0])) == n[0] &&
            std::toupper(static_cast<unsigned char>(name[1])) == n[1]) {
            out = cs;
            return true;
        }
    }
    return false;
}

std::string PocsagText(std::string_view eventText, Charset charset) {
    std::string out;
    out.reserve(eventText.size() + 8);
    for (const char raw : eventText) {
        const auto byte = static_cast<unsigned char>(raw);
        char c = byte < 0x80 ? raw : SevenBitCode(byte);
        if (c == 0) {
            // Not a character our decoders write; kept as the Windows-1252 it is.
            out += Cp1252ToUtf8(std::string_view(&raw, 1));
            continue;
        }
        const char* at = std::char_traits<char>::find(kVariantCodes, sizeof kVariantCodes - 1, c);
        if (at == nullptr) {
            out += c;
        } else {
            out += kVariants[static_cast<std::size_t>(at - kVariantCodes)][static_cast<std::size_t>(charset)];
        }
    }
    return out;
}

}  // namespace quorvel
