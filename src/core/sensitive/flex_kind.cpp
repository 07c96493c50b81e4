// FLEX as the rest of the program sees it: a page is a call to a capcode (its
// address, decimal), alphanumeric, numeric, tone only, binary or secure, with
// the mode, phase, cycle and frame it came in.
#include "core/kind.h"
#include "flex_decoder.h"
#include "flex_format.h"
#include "flex_protocol.h"

namespace quorvel {

namespace {

// Short and long addresses: capcodes 1 to the highest long address.
std::optional<std::uint64_t> CapcodeValue(std::string_view, std::string_view address) {
    const auto v = DecimalAddress(address, 1, 10);
    if (v && (*v == 0 || *v > flex::LongCapcodeMax)) return std::nullopt;
    return v;
}

std::string CanonicalCapcode(std::string_view protocol, std::string_view address) {
    const auto v = CapcodeValue(protocol, address);
    return v ? flex::CapcodeText(*v) : std::string();
}

void AppendText(const Event& event, const TextOptions&, std::string& out) {
    if (const auto* e = std::get_if<FlexPage>(&event)) flex::AppendTextLine(*e, out);
}

class FlexCalls final : public CallBuilder {
public:
    bool Take(const Event& event, Call& call) override {
        const auto* e = std::get_if<FlexPage>(&event);
        if (e == nullptr) return false;
        call.protocol = "flex";
        call.at = e->at;
        call.address = flex::CapcodeText(e->capcode);
        call.detail = flex::TypeName(e->type);
        call.text = Cp1252ToUtf8(flex::MessageText(*e));
        call.fields = {{"capcode", static_cast<std::int64_t>(e->capcode)},
                       {"type", std::string(flex::TypeName(e->type))},
                       {"message", call.text},
                       {"mode", std::string(flex::ModeName(e->mode))},
                       {"phase", std::string(1, flex::PhaseName(e->phase))},
                       {"cycle", std::int64_t{e->cycle}},
                       {"frame", std::int64_t{e->frame}},
                       {"fragments", std::int64_t{e->fragments}},
                       {"corrected", std::int64_t{e->corrected}}};
        return true;
    }
};

bool CompatLine(const Event& event, const compat::CompatOptions&, std::string& line) {
    const auto* e = std::get_if<FlexPage>(&event);
    if (e == nullptr) return false;
    line = Cp1252ToUtf8(flex::CompatLine(*e, e->at.time));
    return true;
}

static_assert(flex::LongCapcodeMax == 3223326720ull, "the address form below names the highest capcode");

constexpr std::string_view Protocols[] = {"flex"};
constexpr std::string_view CompatNames[] = {"FLEX"};

}  // namespace

const KindDescription FlexKind = {
    .name = "flex",
    .protocols = Protocols,
    .addressForm = "a capcode 1-3223326720",
    .addressValue = &CapcodeValue,
    .canonicalAddress = &CanonicalCapcode,
    .appendText = &AppendText,
    .makeBuilder = [](const TextOptions&) { return std::unique_ptr<CallBuilder>(std::make_unique<FlexCalls>()); },
    .compatNames = CompatNames,
    .compatLine = &CompatLine,
};

}  // namespace quorvel
