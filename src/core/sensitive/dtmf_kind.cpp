// DTMF as the rest of the program sees it: a call is the string of keys sent
// one after another (0-9, *, #, A-D); the keys are its address.
#include "core/kind.h"
#include "dtmf.h"

namespace quorvel {

namespace {

constexpr std::string_view Keys = "0123456789*#ABCD";

// 1 to 64 keys (a-d taken as A-D); empty when not.
std::string KeyString(std::string_view text) {
    if (text.empty() || text.size() > 64) return {};
    std::string keys(text);
    for (char& c : keys) {
        if (c >= 'a' && c <= 'd') c = static_cast<char>(c - 'a' + 'A');
        if (Keys.find(c) == std::string_view::npos) return {};
    }
    return keys;
}

// Up to 15 keys as a number (each key 1..16, base 17): one value per key
// string, for exact matches in filters; ranges of key strings mean nothing.
std::optional<std::uint64_t> KeysValue(std::string_view, std::string_view address) {
    const std::string keys = KeyString(address);
    if (keys.empty() || keys.size() > 15) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : keys) value = value * 17 + Keys.find(c) + 1;
    return value;
}

std::string CanonicalKeys(std::string_view, std::string_view address) { return KeyString(address); }

void AppendText(const Event& event, const TextOptions&, std::string& out) {
    const auto* e = std::get_if<DtmfSequence>(&event);
    if (e == nullptr) return;
    out += LongTimeText(e->at.time);
    out += "\tDTMF: ";
    out += e->keys;
    out += "\r\n";
}

class DtmfCalls final : public CallBuilder {
public:
    bool Take(const Event& event, Call& call) override {
        const auto* e = std::get_if<DtmfSequence>(&event);
        if (e == nullptr) return false;
        call.protocol = "dtmf";
        call.at = e->at;
        call.address = e->keys;
        call.fields = {{"digits", e->keys}, {"address", e->keys}};
        return true;
    }
};

constexpr std::string_view Protocols[] = {"dtmf"};

}  // namespace

const KindDescription DtmfKind = {
    .name = "dtmf",
    .protocols = Protocols,
    .addressForm = "1-64 keys of 0-9 * # A-D",
    .addressValue = &KeysValue,
    .canonicalAddress = &CanonicalKeys,
    .appendText = &AppendText,
    .makeBuilder = [](const TextOptions&) { return std::unique_ptr<CallBuilder>(std::make_unique<DtmfCalls>()); },
    .compatNames = {},  // no station decoder reads DTMF
    .compatLine = nullptr,
};

}  // namespace quorvel
