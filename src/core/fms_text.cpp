// FMS telegram writer: turns each 48-bit block in TelegramBits into text.
//
// In: TelegramBits (each entry 0, 1, or 2 for an undecided bit) and BlockCount,
// which says what the block is: 0 the status telegram right after a sync, 1 the
// first follow-on block, 2 any further one. Out: text appended to MessageText
// (Windows-1252), and FmsState set back to the preamble search when a block has
// an undecided bit among its 40 data bits.
//
// Status telegram, one line:
//   time TAB organisation TAB Land TAB location TAB vehicle TAB status TAB
//   build stage TAB direction TAB tactical info TAB (empty field) TAB CR LF
// Follow-on blocks, together one further line: the doubled number of bits 1-6,
// TAB, three characters; then four characters per block; CR LF when the
// transmission ends. The check part (bits 40-47) is not verified; an undecided
// bit there is reported after the fields.
#include <array>
#include <string>

#include "fms.h"

namespace quorvel {

const std::array<const char*, 16> FmsOrganisationNames = {
    "Fehler",
    "Polizei",
    "Bundesgrenzschutz",
    "Bundeskriminalamt",
    "Katastrophenschutz",
    "Zoll",
    "Feuerwehr",
    "Technisches Hilfswerk",
    "Arbeiter-Samariter-Bund",
    "DRK",
    "Johanniter",
    "Malteser",
    "DLRG",
    "Rettungsdienst",
    "Zivilschutz",
    "Fernwirktel.",
};

const std::array<const char*, 16> FmsLandNames = {
    "Sachsen",
    "Bund",
    "Bad-W\xFCrt",  // the u umlaut as its Windows-1252 byte
    "Bay I",
    "Berlin",
    "Bremen",
    "Hamburg",
    "Hessen",
    "Nieders",
    "Nord-Westf",
    "Rheinla-Pf",
    "Schlesw-Hol",
    "Saarland",
    "Bay II",
    "S/Meckl",
    "Th/Brandenb.",
};

const char FmsHexDigits[17] = "0123456789ABCDEF";

const std::array<const char*, 2> FmsDirectionNames = {"F>L", "L>F"};

const std::array<const char*, 4> FmsTacticalInfoNames = {" I", "II", "III", "IV"};

namespace {

struct FieldRef {
    std::int32_t code;
    std::uint8_t offset;
};

// Field codes: 1 organisation, 2 Land, 3 location, 4 vehicle, 5 status, 6 build
// stage, 7 direction, 8 tactical information, 12 the doubled number of bits 1-6
// and a tab, 14 one 7-bit character at the offset; any other code is empty.
constexpr std::array<std::int32_t, 9> StatusFieldList = {1, 2, 3, 4, 5, 6, 7, 8, 9};
constexpr std::array<FieldRef, 4> FirstTextFieldList = {{{12, 1}, {14, 8}, {14, 16}, {14, 24}}};
constexpr std::array<FieldRef, 4> TextFieldList = {{{14, 0}, {14, 8}, {14, 16}, {14, 24}}};

void AppendNumber(std::string& out, std::int32_t value) { out += std::to_string(value); }

}  // namespace

std::uint16_t FmsDecoder::FmsBitField(std::uint8_t start, std::uint8_t end) const {
    if (end < start) return 0;
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; k <= static_cast<std::uint32_t>(end - start); ++k) {
        const std::size_t bit = static_cast<std::size_t>(start) + k;
        if (bit >= TelegramBits.size()) break;
        value += static_cast<std::uint32_t>(TelegramBits[bit]) << k;
    }
    return static_cast<std::uint16_t>(value);
}

void FmsDecoder::FmsFieldText(std::uint8_t offset, std::int32_t code, std::string& out) const {
    switch (code) {
        case 1: out += FmsOrganisationNames[FmsBitField(0, 3) & 15u]; break;
        case 2: out += FmsLandNames[FmsBitField(4, 7) & 15u]; break;
        case 3:
            out += FmsHexDigits[FmsBitField(8, 11) & 15u];
            out += FmsHexDigits[FmsBitField(12, 15) & 15u];
            break;
        case 4:
            out += FmsHexDigits[FmsBitField(16, 19) & 15u];
            out += FmsHexDigits[FmsBitField(20, 23) & 15u];
            out += FmsHexDigits[FmsBitField(24, 27) & 15u];
            out += FmsHexDigits[FmsBitField(28, 31) & 15u];
            break;
        case 5: out += FmsHexDigits[FmsBitField(32, 35) & 15u]; break;
        case 6: out += FmsHexDigits[FmsBitField(36, 36) & 1u]; break;
        case 7: out += FmsDirectionNames[FmsBitField(37, 37) & 1u]; break;
        case 8: out += FmsTacticalInfoNames[FmsBitField(38, 39) & 3u]; break;
        case 12:
            AppendNumber(out, static_cast<std::int32_t>(FmsBitField(1, 6)) * 2);
            out += '\t';
            break;
        case 14: {
            const auto start = static_cast<std::uint8_t>(offset);
            const auto end = static_cast<std::uint8_t>(offset + 6);
            out += static_cast<char>(FmsBitField(start, end) & 127u);
            break;
        }
        default: break;
    }
}

void FmsDecoder::FmsWriteTelegram() {
    std::string& text = ctx_.MessageText;
    if (BlockCount == 0) {
        text += ctx_.clock.TimeOfDayText();
        text += '\t';
    }
    std::int32_t u = 48;
    for (std::int32_t k = 0; k < 48; ++k) {
        if (TelegramBits[static_cast<std::size_t>(k)] == 2) {
            u = k;
            break;
        }
    }
    if (u < 40) {
        if (BlockCount == 0) {
            text += " Fehler im Datenteil im Bit: ";
            AppendNumber(text, u + 1);
            text += "\r\n";
        } else if (BlockCount > 1) {
            text += "\r\n";
        }
        FmsState = fsSearchPreamble;
        return;
    }
    if (BlockCount == 0) {
        for (const std::int32_t code : StatusFieldList) {
            FmsFieldText(0, code, text);
            text += '\t';
        }
    } else if (BlockCount == 1) {
        for (const FieldRef& f : FirstTextFieldList) FmsFieldText(f.offset, f.code, text);
    } else {
        for (const FieldRef& f : TextFieldList) FmsFieldText(f.offset, f.code, text);
    }
    if (u < 48) {
        text += " Fehler im Redundanzteil im Bit: ";
        AppendNumber(text, u + 1);
    }
    if (BlockCount == 0) text += "\r\n";
    if (BlockCount < 2) BlockCount = BlockCount + 1;
}

}  // namespace quorvel
