#include "compat_lines.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common.h"
#include "fms.h"
#include "zvei.h"

namespace quorvel::compat {

namespace {

// The FMS names in ASCII, umlauts spelt out, so that columns count in bytes.
std::string AsciiName(const char* cp1252) {
    std::string out;
    for (const char* p = cp1252; *p != '\0'; ++p) {
        switch (static_cast<unsigned char>(*p)) {
            case 0xE4: out += "ae"; break;
            case 0xF6: out += "oe"; break;
            case 0xFC: out += "ue"; break;
            case 0xC4: out += "Ae"; break;
            case 0xD6: out += "Oe"; break;
            case 0xDC: out += "Ue"; break;
            case 0xDF: out += "ss"; break;
            default: out += static_cast<unsigned char>(*p) < 0x80 ? *p : '?';
        }
    }
    return out;
}

std::string Fixed(std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
}

// What a vehicle's status means in the usual German table (vehicle to control
// room); the letters have no common meaning.
constexpr std::array<const char*, 16> kStatusNames = {
    "Notruf",         "Einsatzb. Funk", "Frei auf Wache", "Einsatz uebern", "Am Einsatzort", "Sprechwunsch",
    "Nicht einsatzb", "Patient aufgen", "Am Zielort",     "Fremdanmeldung", "",              "",
    "",               "",               "",               "",
};

constexpr std::array<const char*, 4> kTacticalTexts = {
    "I  (ohneNA,ohneSIGNAL)",
    "II (ohneNA,mit SIGNAL)",
    "III(mit NA,ohneSIGNAL)",
    "IV (mit NA,mit SIGNAL)",
};

constexpr char kHex[] = "0123456789abcdef";


}  // namespace

int PocsagLineRate(double measuredRate) {
    for (const int rate : {512, 1200, 2400})
        if (std::fabs(measuredRate - rate) <= 0.1 * rate) return rate;
    return static_cast<int>(std::lround(measuredRate));
}

std::string PocsagCompatLine(int rate, std::uint32_t ric, int function, PocsagTextKind kind,
                             std::string_view utf8Text) {
    char head[96];
    std::snprintf(head, sizeof head, "POCSAG%d: Address: %7u  Function: %d ", rate, static_cast<unsigned>(ric),
                  function);
    std::string line = head;
    if (kind == PocsagTextKind::Tone) return line;
    line += kind == PocsagTextKind::Alpha ? " Alpha:   " : " Numeric: ";
    line += utf8Text;
    return line;
}

std::string FmsCompatHex(const std::array<std::uint8_t, 48>& bits) {
    std::string hex;
    for (int k = 47; k >= 0; k -= 4) {
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 1) | (bits[static_cast<std::size_t>(k - i)] == 1 ? 1u : 0u);
        hex += kHex[v];
    }
    return hex;
}

std::string FmsCompatLine(const std::array<std::uint8_t, 48>& bits) {
    const std::uint32_t organisation = FmsBitsValue(bits, 0, 3);
    const std::uint32_t land = FmsBitsValue(bits, 4, 7);
    const std::uint32_t location = FmsBitsValue(bits, 8, 11) * 16 + FmsBitsValue(bits, 12, 15);
    const std::uint32_t status = FmsBitsValue(bits, 32, 35);
    const std::uint32_t direction = FmsBitsValue(bits, 37, 37);
    const std::uint32_t tactical = FmsBitsValue(bits, 38, 39);
    std::string line = "FMS: " + FmsCompatHex(bits) + " (";
    line += kHex[organisation];
    line += '=' + Fixed(AsciiName(FmsOrganisationNames[organisation]), 14) + '\t';
    line += kHex[land];
    line += '=' + Fixed(AsciiName(FmsLandNames[land]), 16) + '\t';
    char text[32];
    std::snprintf(text, sizeof text, "Ort 0x%c%c=%03u\t", kHex[location >> 4], kHex[location & 15u], location);
    line += text;
    line += "FZG ";
    for (int a = 16; a < 32; a += 4) line += kHex[FmsBitsValue(bits, a, a + 3)];
    line += "\tStatus ";
    line += kHex[status];
    line += '=' + Fixed(kStatusNames[status], 14) + '\t';
    line += direction == 0 ? "0=FZG->LST\t" : "1=LST->FZG\t";
    line += kHex[tactical];
    line += '=';
    line += kTacticalTexts[tactical];
    line += "\t) CRC correct";
    return line;
}

std::string FmsShortCompatLine(const std::array<std::uint8_t, 48>& bits) {
    return "FMS: " + FmsCompatHex(bits) + " CRC correct";
}

bool ToneCompatDigits(int table, const std::array<std::int32_t, 5>& entries, int count, std::string& digits) {
    digits.clear();
    if (count != 5 || table < 0 || table >= zvei::TableCount) return false;
    const zvei::ToneTable& t = zvei::Table(table);
    for (const std::int32_t entry : entries) {
        if (entry < 0 || entry >= t.entryCount) return false;
        const std::string_view text = t.entries[entry].text;
        if (text == "R") {
            digits += 'E';
        } else if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') {
            digits += text[0];
        } else {
            return false;
        }
    }
    return true;
}

std::string ToneCompatLine(int table, std::string_view digits) {
    const char* prefix = table == 0 ? "ZVEI1: " : table == 3 ? "CCIR: " : nullptr;
    if (prefix == nullptr) return {};
    return std::string(prefix) + std::string(digits);
}

std::string PocsagCallLine(const PocsagCall& call, const CompatOptions& o) {
    if (!call.complete && !o.printIncomplete) return {};
    if (o.maxBitsPerCodeword >= 0 && call.mostBitsCorrected > o.maxBitsPerCodeword) return {};
    const int rate = PocsagLineRate(call.bitRate);
    if (call.codewords == 0) {
        if (o.skipToneOnly) return {};
        return PocsagCompatLine(rate, call.ric, call.function, PocsagTextKind::Tone, {});
    }
    // Digits exist only for short messages; a longer one is shown as text
    // whatever was asked.
    const bool numeric = o.textMode == TextMode::Auto      ? call.numericType
                         : o.textMode == TextMode::Numeric ? call.hasNumeric
                                                           : false;
    if (numeric) return PocsagCompatLine(rate, call.ric, call.function, PocsagTextKind::Numeric, Cp1252ToUtf8(call.numeric));
    return PocsagCompatLine(rate, call.ric, call.function, PocsagTextKind::Alpha, PocsagText(call.alpha, o.charset));
}

std::string LinePrefix(const DateTime& t, const CompatOptions& o) {
    std::string prefix;
    if (o.timestamp) {
        char text[48];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d: ", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        prefix = text;
    }
    if (!o.label.empty()) prefix += o.label + ": ";
    return prefix;
}

}  // namespace quorvel::compat
