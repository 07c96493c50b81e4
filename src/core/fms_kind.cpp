// FMS as the rest of the program sees it: a status telegram is a call from a
// vehicle or station identity (organisation, Land, location, vehicle: 8 hex
// digits) with its status; the follow-on text after it is a call of its own
// ("fms_text") to the same identity.
#include <charconv>

#include "fms.h"
#include "kind.h"

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

// As the text has always shown them: an undecided bit (2) counts with its value.
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

std::string BitsHex(const std::array<std::uint8_t, 48>& bits) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t k = 0; k < 48; k += 4) {
        unsigned v = 0;
        for (std::size_t i = 0; i < 4; ++i) v = (v << 1) | (bits[k + i] == 1 ? 1u : 0u);
        hex += digits[v];
    }
    return hex;
}

const char* CheckName(FmsCheck c) {
    switch (c) {
        case FmsCheck::Ok: return "ok";
        case FmsCheck::Failed: return "failed";
        default: return "undecided";
    }
}

std::optional<std::uint64_t> IdentityValue(std::string_view, std::string_view address) {
    return HexAddress(address, 8, 8);
}

std::string CanonicalIdentity(std::string_view, std::string_view address) {
    const auto v = HexAddress(address, 8, 8);
    if (!v) return {};
    std::string text(8, '0');
    for (int k = 7; k >= 0; --k) text[static_cast<std::size_t>(7 - k)] = FmsHexDigits[(*v >> (4 * k)) & 15u];
    return text;
}

void AppendText(const Event& event, const TextOptions&, std::string& out) {
    if (const auto* e = std::get_if<FmsTelegram>(&event)) {
        out += LongTimeText(e->at.time);
        out += '\t';
        const std::int32_t u = e->firstUndecided;
        if (u < 40) {
            out += " Fehler im Datenteil im Bit: ";
            AppendNumber(out, u + 1);
            out += "\r\n";
            return;
        }
        for (std::int32_t code = 1; code <= 9; ++code) {
            FmsFieldText(e->bits, 0, code, out);
            out += '\t';
        }
        if (u < 48) {
            out += " Fehler im Redundanzteil im Bit: ";
            AppendNumber(out, u + 1);
        }
        out += "\r\n";
    } else if (const auto* e = std::get_if<FmsTextBlock>(&event)) {
        if (e->index == 1) {
            FmsFieldText(e->bits, 1, 12, out);
            for (std::uint8_t offset : {8, 16, 24}) FmsFieldText(e->bits, offset, 14, out);
        } else {
            for (std::uint8_t offset : {0, 8, 16, 24}) FmsFieldText(e->bits, offset, 14, out);
        }
        if (e->firstUndecided < 48) {
            out += " Fehler im Redundanzteil im Bit: ";
            AppendNumber(out, e->firstUndecided + 1);
        }
    } else if (std::holds_alternative<FmsTextEnd>(event)) {
        out += "\r\n";
    }
}

class FmsCalls final : public CallBuilder {
public:
    bool Take(const Event& event, Call& call) override {
        if (const auto* e = std::get_if<FmsTelegram>(&event)) {
            text_.clear();
            address_.clear();
            call.protocol = "fms";
            call.at = e->at;
            FieldList& f = call.fields;
            if (e->DataDecided()) {
                address_ = FmsIdentity(*e);
                call.address = address_;
                call.subaddress = std::string(1, FmsHexDigits[e->Field(32, 35)]);
                const char* tactical = FmsTacticalInfoNames[e->Field(38, 39)];
                f.push_back({"address", address_});
                f.push_back({"organisation", std::int64_t{e->Field(0, 3)}});
                f.push_back({"organisation_name", Cp1252ToUtf8(FmsOrganisationNames[e->Field(0, 3)])});
                f.push_back({"land", std::int64_t{e->Field(4, 7)}});
                f.push_back({"land_name", Cp1252ToUtf8(FmsLandNames[e->Field(4, 7)])});
                f.push_back({"location", address_.substr(2, 2)});
                f.push_back({"vehicle", address_.substr(4, 4)});
                f.push_back({"status", call.subaddress});
                f.push_back({"build_stage", std::int64_t{e->Field(36, 36)}});
                f.push_back({"direction", std::string(FmsDirectionNames[e->Field(37, 37)])});
                f.push_back({"tactical", std::int64_t{e->Field(38, 39)}});
                f.push_back({"tactical_name", std::string(tactical[0] == ' ' ? "I" : tactical)});
            }
            const std::string bits = BitsHex(e->bits);
            call.detail = bits.substr(0, 10);  // the data bits, not the check part
            f.push_back({"bits", bits});
            f.push_back({"check", std::string(CheckName(e->check))});
            if (e->corrected) f.push_back({"corrected", true});
            if (e->firstUndecided < 48) f.push_back({"undecided_bit", std::int64_t{e->firstUndecided + 1}});
            return true;
        }
        if (const auto* e = std::get_if<FmsTextBlock>(&event)) {
            if (e->index == 1) {
                text_.clear();
                number_ = e->number;
            }
            text_ += e->characters;
            return false;
        }
        if (const auto* e = std::get_if<FmsTextEnd>(&event)) {
            call.protocol = "fms";
            call.event = "fms_text";
            call.at = e->at;
            call.address = address_;
            call.detail = "text";
            call.text = Cp1252ToUtf8(text_);
            if (!address_.empty()) call.fields.push_back({"address", address_});
            call.fields.push_back({"number", std::int64_t{number_}});
            call.fields.push_back({"text", call.text});
            call.incomplete = !e->complete;
            text_.clear();
            return true;
        }
        return false;
    }

private:
    std::string text_;     // follow-on text since the telegram
    std::int32_t number_ = 0;
    std::string address_;  // of the last telegram
};

constexpr std::string_view Protocols[] = {"fms"};

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

std::string FmsIdentity(const FmsTelegram& t) {
    std::string id;
    for (int a = 0; a < 32; a += 4) id += FmsHexDigits[t.Field(a, a + 3)];
    return id;
}

const KindDescription FmsKind = {
    .name = "fms",
    .protocols = Protocols,
    .addressForm = "8 hex digits (organisation, Land, location, vehicle)",
    .addressValue = &IdentityValue,
    .canonicalAddress = &CanonicalIdentity,
    .appendText = &AppendText,
    .makeBuilder = [](const TextOptions&) { return std::unique_ptr<CallBuilder>(std::make_unique<FmsCalls>()); },
};

}  // namespace quorvel
