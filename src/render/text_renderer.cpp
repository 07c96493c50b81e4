#include "text_renderer.h"

#include <charconv>
#include <cstdio>

#include "core/processing.h"
#include "core/sensitive/flex_format.h"
#include "core/zvei.h"

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

std::uint32_t BitField(const std::array<std::uint8_t, 48>& bits, std::uint32_t start, std::uint32_t end) {
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; start + k <= end && start + k < 48; ++k) value += static_cast<std::uint32_t>(bits[start + k]) << k;
    return value;
}

void AppendNumber(std::string& out, std::int32_t value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

struct TextOf {
    std::string& out;

    void operator()(const PocsagCallBegin& e) const {
        char text[32];
        std::snprintf(text, sizeof text, "%.7u:\t%d\t", e.ric, e.function);
        out += text;
    }
    void operator()(const PocsagCallEnd& e) const {
        if (!e.complete) {
            out += "\r\n";
        } else if (e.codewords == 0) {
            out += "Beep \r\n";
        } else {
            if (e.hasNumeric) {
                out += "Numerisch:\t";
                out += e.numeric;
                out += "\r\n\t\t";
            }
            out += "AlphaNum:\t";
            if (e.offsetMode) out += "Skyper: ";
            out += e.alpha;
            out += "\r\n";
        }
    }
    void operator()(const PocsagTransmissionEnd& e) const {
        char text[256];
        std::snprintf(text, sizeof text, "\tidles: %d  syncs: %d  counts: %d  speed: %.2f  fails: %d  crcerrors: %d\r\n\r\n",
                      e.idles, e.syncs, e.bits, e.bitRate, e.fails, e.crcErrors);
        out += LongTimeText(e.beginTime);
        out += " - ";
        out += LongTimeText(e.at.time);
        out += text;
    }
    void operator()(const FmsTelegram& e) const {
        out += LongTimeText(e.at.time);
        out += '\t';
        const std::int32_t u = e.firstUndecided;
        if (u < 40) {
            out += " Fehler im Datenteil im Bit: ";
            AppendNumber(out, u + 1);
            out += "\r\n";
            return;
        }
        for (std::int32_t code = 1; code <= 9; ++code) {
            FmsFieldText(e.bits, 0, code, out);
            out += '\t';
        }
        if (u < 48) {
            out += " Fehler im Redundanzteil im Bit: ";
            AppendNumber(out, u + 1);
        }
        out += "\r\n";
    }
    void operator()(const FmsTextBlock& e) const {
        if (e.index == 1) {
            FmsFieldText(e.bits, 1, 12, out);
            for (std::uint8_t offset : {8, 16, 24}) FmsFieldText(e.bits, offset, 14, out);
        } else {
            for (std::uint8_t offset : {0, 8, 16, 24}) FmsFieldText(e.bits, offset, 14, out);
        }
        if (e.firstUndecided < 48) {
            out += " Fehler im Redundanzteil im Bit: ";
            AppendNumber(out, e.firstUndecided + 1);
        }
    }
    void operator()(const FmsTextEnd&) const { out += "\r\n"; }
    void operator()(const FlexPage& e) const { flex::AppendTextLine(e, out); }
    void operator()(const ToneSequence& e) const {
        if (e.table < 0 || e.table >= zvei::TableCount) return;
        const zvei::ToneTable& t = zvei::Table(e.table);
        out += LongTimeText(e.at.time);
        out += '\t';
        out += t.prefix;
        for (std::int32_t j = 0; j < e.count && j < 5; ++j) {
            const std::int32_t entry = e.entries[static_cast<std::size_t>(j)];
            if (entry >= 0 && entry < t.entryCount) {
                out += t.entries[entry].text;
            } else {
                out += " fail: ";
                AppendNumber(out, RoundHalfEven(e.frequencies[static_cast<std::size_t>(j)]));
                out += ' ';
            }
        }
        out += "\r\n";
    }
};

}  // namespace

void FmsFieldText(const std::array<std::uint8_t, 48>& bits, std::uint8_t offset, std::int32_t code, std::string& out) {
    switch (code) {
        case 1: out += FmsOrganisationNames[BitField(bits, 0, 3) & 15u]; break;
        case 2: out += FmsLandNames[BitField(bits, 4, 7) & 15u]; break;
        case 3:
            out += FmsHexDigits[BitField(bits, 8, 11) & 15u];
            out += FmsHexDigits[BitField(bits, 12, 15) & 15u];
            break;
        case 4:
            for (std::uint32_t a = 16; a < 32; a += 4) out += FmsHexDigits[BitField(bits, a, a + 3) & 15u];
            break;
        case 5: out += FmsHexDigits[BitField(bits, 32, 35) & 15u]; break;
        case 6: out += FmsHexDigits[BitField(bits, 36, 36) & 1u]; break;
        case 7: out += FmsDirectionNames[BitField(bits, 37, 37) & 1u]; break;
        case 8: out += FmsTacticalInfoNames[BitField(bits, 38, 39) & 3u]; break;
        case 12:
            AppendNumber(out, static_cast<std::int32_t>(BitField(bits, 1, 6)) * 2);
            out += '\t';
            break;
        case 14: out += static_cast<char>(BitField(bits, offset, offset + 6u) & 127u); break;
        default: break;
    }
}

void AppendEventText(const Event& event, std::string& out) { std::visit(TextOf{out}, event); }

TextRenderer::TextRenderer(SharedContext& ctx) : ctx_(ctx) { ctx_.events.Subscribe(*this); }

TextRenderer::~TextRenderer() { ctx_.events.Unsubscribe(*this); }

void TextRenderer::OnEvent(const Event& event) { AppendEventText(event, ctx_.MessageText); }

}  // namespace quorvel
