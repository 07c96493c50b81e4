// Five-tone selective calls as the rest of the program sees them: a call is the
// five digits it selects (a repeat tone written as the digit it repeats), under
// the protocol of its tone table (zvei for the three ZVEI tables, ccir).
#include <charconv>
#include <cmath>

#include "kind.h"
#include "zvei.h"

namespace quorvel {

namespace {

std::optional<std::uint64_t> DigitsValue(std::string_view, std::string_view address) {
    return DecimalAddress(address, 5, 5);
}

std::string CanonicalDigits(std::string_view protocol, std::string_view address) {
    return DigitsValue(protocol, address) ? std::string(address) : std::string();
}

void AppendText(const Event& event, const TextOptions&, std::string& out) {
    const auto* e = std::get_if<ToneSequence>(&event);
    if (e == nullptr || e->table < 0 || e->table >= zvei::TableCount) return;
    const zvei::ToneTable& t = zvei::Table(e->table);
    out += LongTimeText(e->at.time);
    out += '\t';
    out += t.prefix;
    for (std::int32_t j = 0; j < e->count && j < 5; ++j) {
        const std::int32_t entry = e->entries[static_cast<std::size_t>(j)];
        if (entry >= 0 && entry < t.entryCount) {
            out += t.entries[entry].text;
        } else {
            out += " fail: ";
            char digits[16];
            const auto r = std::to_chars(digits, digits + sizeof digits, RoundHalfEven(e->frequencies[static_cast<std::size_t>(j)]));
            out.append(digits, r.ptr);
            out += ' ';
        }
    }
    out += "\r\n";
}

class ToneCalls final : public CallBuilder {
public:
    bool Take(const Event& event, Call& call) override {
        const auto* e = std::get_if<ToneSequence>(&event);
        if (e == nullptr || e->table < 0 || e->table >= zvei::TableCount) return false;
        const zvei::ToneTable& t = zvei::Table(e->table);
        call.protocol = std::string(t.protocol);
        call.at = e->at;
        std::string sequence;
        std::string digits;
        std::int64_t failed = 0;
        std::vector<FieldList> tones;
        for (std::int32_t k = 0; k < e->count && k < 5; ++k) {
            const std::int32_t entry = e->entries[static_cast<std::size_t>(k)];
            const double f = std::round(e->frequencies[static_cast<std::size_t>(k)] * 10.0) / 10.0;
            std::string text = entry >= 0 && entry < t.entryCount ? std::string(t.entries[entry].text) : "?";
            if (entry < 0) ++failed;
            sequence += text;
            // The repeat tone stands for the digit before it.
            digits += (text == "R" && !digits.empty()) ? std::string(1, digits.back()) : text;
            tones.push_back({{"tone", text}, {"frequency", f}});
        }
        call.address = digits;
        call.detail = std::string(t.name);
        call.fields = {{"table", std::string(t.name)}, {"sequence", sequence}, {"digits", digits},
                       {"address", digits},           {"failed", failed},     {"tones", std::move(tones)}};
        return true;
    }
};

constexpr std::string_view Protocols[] = {"zvei", "ccir"};

}  // namespace

const KindDescription ToneKind = {
    .name = "zvei",
    .protocols = Protocols,
    .addressForm = "5 digits",
    .addressValue = &DigitsValue,
    .canonicalAddress = &CanonicalDigits,
    .appendText = &AppendText,
    .makeBuilder = [](const TextOptions&) { return std::unique_ptr<CallBuilder>(std::make_unique<ToneCalls>()); },
};

}  // namespace quorvel
