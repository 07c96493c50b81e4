// POCSAG as the rest of the program sees it: a call is an address (RIC, 0 to
// 2097151, written as 7 digits) with its function (0-3) and the message that
// follows it, numeric or 7-bit alphanumeric; a transmission's summary is a record
// of its own, written but never passed on.
#include <cmath>
#include <cstdio>

#include "kind.h"
#include "pocsag.h"

namespace quorvel {

namespace {

constexpr std::uint64_t MaxRic = 0x1FFFFF;  // 21 address bits

std::optional<std::uint64_t> RicValue(std::string_view, std::string_view address) {
    auto v = DecimalAddress(address, 1, 7);
    if (v && *v > MaxRic) return std::nullopt;
    return v;
}

std::string RicText(std::uint64_t ric) {
    char text[16];
    std::snprintf(text, sizeof text, "%07llu", static_cast<unsigned long long>(ric));
    return text;
}

std::string CanonicalRic(std::string_view protocol, std::string_view address) {
    const auto v = RicValue(protocol, address);
    return v ? RicText(*v) : std::string();
}

// The 7-bit packing fills the last codeword with NUL (some senders EOT): not part
// of the message.
std::string WithoutPadding(std::string text) {
    for (;;) {
        if (text.size() >= 5 && (text.ends_with("<NUL>") || text.ends_with("<EOT>"))) text.resize(text.size() - 5);
        else return text;
    }
}

void AppendText(const Event& event, const TextOptions& options, std::string& out) {
    if (const auto* e = std::get_if<PocsagCallBegin>(&event)) {
        char text[32];
        std::snprintf(text, sizeof text, "%.7u:\t%d\t", e->ric, e->function);
        out += text;
    } else if (const auto* e = std::get_if<PocsagCallEnd>(&event)) {
        if (!e->complete) {
            out += "\r\n";
        } else if (e->codewords == 0) {
            out += "Beep \r\n";
        } else {
            const bool numeric = e->hasNumeric && (!options.oneRendering || e->function == 0);
            if (numeric) {
                out += "Numerisch:\t";
                out += e->numeric;
                out += "\r\n";
                if (options.oneRendering) return;
                out += "\t\t";
            }
            out += "AlphaNum:\t";
            if (e->offsetMode) out += "Skyper: ";
            out += e->alpha;
            out += "\r\n";
        }
    } else if (const auto* e = std::get_if<PocsagTransmissionEnd>(&event)) {
        char text[256];
        std::snprintf(text, sizeof text, "\tidles: %d  syncs: %d  counts: %d  speed: %.2f  fails: %d  crcerrors: %d\r\n\r\n",
                      e->idles, e->syncs, e->bits, e->bitRate, e->fails, e->crcErrors);
        out += LongTimeText(e->beginTime);
        out += " - ";
        out += LongTimeText(e->at.time);
        out += text;
    }
}

class PocsagCalls final : public CallBuilder {
public:
    explicit PocsagCalls(const TextOptions& options) : charset_(options.charset) {}

    bool Take(const Event& event, Call& call) override {
        if (const auto* e = std::get_if<PocsagCallEnd>(&event)) {
            call.protocol = "pocsag";
            call.at = e->at;
            call.address = RicText(e->ric);
            call.subaddress = std::to_string(e->function);
            const char* type = e->codewords == 0 ? "tone" : (e->hasNumeric && e->function == 0) ? "numeric" : "alpha";
            call.detail = type;
            const std::string alpha = charset_ ? PocsagText(e->alpha, *charset_) : Cp1252ToUtf8(e->alpha);
            const std::string message =
                e->codewords == 0 ? "" : std::string_view(type) == "numeric" ? Cp1252ToUtf8(e->numeric) : alpha;
            call.text = WithoutPadding(message);
            FieldList& f = call.fields;
            f.push_back({"ric", std::int64_t{e->ric}});
            f.push_back({"function", std::int64_t{e->function}});
            f.push_back({"bitrate", std::int64_t{std::lround(e->bitRate)}});
            f.push_back({"polarity", std::string(e->inverted ? "inverted" : "normal")});
            f.push_back({"type", std::string(type)});
            f.push_back({"message", call.text});
            if (e->hasNumeric) {
                f.push_back({"numeric", Cp1252ToUtf8(e->numeric)});
                f.push_back({"alpha", alpha});
            }
            if (e->offsetMode) f.push_back({"offset_mode", true});
            f.push_back({"codewords", std::int64_t{e->codewords}});
            f.push_back({"errors", std::int64_t{e->errors}});
            f.push_back({"corrected", std::int64_t{e->corrected}});
            call.incomplete = !e->complete;
            return true;
        }
        if (const auto* e = std::get_if<PocsagTransmissionEnd>(&event)) {
            call.protocol = "pocsag";
            call.event = "transmission_end";
            call.isCall = false;
            call.at = e->at;
            FieldList& f = call.fields;
            f.push_back({"begin", e->beginTime});
            f.push_back({"idles", std::int64_t{e->idles}});
            f.push_back({"syncs", std::int64_t{e->syncs}});
            f.push_back({"bits", std::int64_t{e->bits}});
            f.push_back({"bitrate", std::round(e->bitRate * 100.0) / 100.0});
            f.push_back({"polarity", std::string(e->inverted ? "inverted" : "normal")});
            f.push_back({"fails", std::int64_t{e->fails}});
            f.push_back({"crc_errors", std::int64_t{e->crcErrors}});
            f.push_back({"corrected", std::int64_t{e->corrected}});
            return true;
        }
        return false;
    }

private:
    std::optional<Charset> charset_;
};

constexpr std::string_view Protocols[] = {"pocsag"};

}  // namespace

const KindDescription PocsagKind = {
    .name = "pocsag",
    .protocols = Protocols,
    .addressForm = "a RIC 0-2097151",
    .addressValue = &RicValue,
    .canonicalAddress = &CanonicalRic,
    .appendText = &AppendText,
    .makeBuilder = [](const TextOptions& options) { return std::unique_ptr<CallBuilder>(std::make_unique<PocsagCalls>(options)); },
};

}  // namespace quorvel
