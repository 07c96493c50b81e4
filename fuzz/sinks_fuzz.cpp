// libFuzzer harness for what comes after the decoders: arbitrary events of
// every kind, with any bytes in their texts and any numbers in their fields,
// through the kinds' descriptions into the specified text, call records, JSON,
// quorvel-compat's lines and the station (names, filters, dedup). Beyond crashes
// and sanitizer reports it checks that every JSON object parses and every
// compat line is UTF-8 without a line break.
//
// Input: a stream of events, each a type byte (modulo the number of event
// types) followed by the bytes its fields are read from.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "core/kind.h"
#include "render/json_renderer.h"
#include "station/station.h"
#include "station/utf8.h"

namespace {

using namespace quorvel;

// A broken promise names itself before the harness stops.
#define CHECK(c)                                                                  \
    do {                                                                          \
        if (!(c)) {                                                               \
            std::fprintf(stderr, "sinks_fuzz: check failed: %s (line %d)\n", #c, __LINE__); \
            std::abort();                                                         \
        }                                                                         \
    } while (0)

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
    std::int32_t I32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | U8();
        return static_cast<std::int32_t>(v);
    }
    double Real() { return static_cast<double>(I32()) / 16.0; }
    // Text as events carry it: Windows-1252 bytes, control codes as tokens.
    std::string Text() {
        std::string s;
        const std::size_t n = U8() % 48;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t c = U8();
            if (c < 0x20 || c == 0x7F) s += "<NUL>";
            else s.push_back(static_cast<char>(c));
        }
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void Fill(Bytes& in, EventOrigin& at) {
    at.sample = static_cast<std::int64_t>(static_cast<std::uint32_t>(in.I32()));
    at.time = DateTime{2024, 1 + in.U8() % 12, 1 + in.U8() % 28, in.U8() % 24, in.U8() % 60, in.U8() % 60, 0};
}

template <class E>
void FillBits(Bytes& in, E& e) {
    for (auto& b : e.bits) b = in.U8() % 3;
    e.firstUndecided = in.U8() % 49;
}

Event Next(Bytes& in) {
    Event event(std::in_place_index<0>);
    switch (in.U8() % std::variant_size_v<Event>) {
        case 0: {
            PocsagCallBegin e;
            Fill(in, e.at);
            e.ric = static_cast<std::uint32_t>(in.I32()) & 0x1FFFFF;
            e.function = in.U8() % 4;
            e.bitRate = in.Real();
            event = e;
            break;
        }
        case 1: {
            PocsagCallEnd e;
            Fill(in, e.at);
            e.ric = static_cast<std::uint32_t>(in.I32()) & 0x1FFFFF;
            e.function = in.U8() % 4;
            e.bitRate = in.Real();
            e.codewords = in.U8();
            e.errors = in.U8();
            e.hasNumeric = in.U8() & 1;
            e.numeric = in.Text();
            e.alpha = in.Text();
            e.offsetMode = in.U8() & 1;
            e.complete = in.U8() & 1;
            e.mostBitsCorrected = in.U8() % 4;
            event = e;
            break;
        }
        case 2: {
            PocsagTransmissionEnd e;
            Fill(in, e.at);
            e.bitRate = in.Real();
            e.bits = in.I32();
            event = e;
            break;
        }
        case 3: {
            FmsTelegram e;
            Fill(in, e.at);
            FillBits(in, e);
            e.check = static_cast<FmsCheck>(in.U8() % 3);
            event = e;
            break;
        }
        case 4: {
            FmsTextBlock e;
            Fill(in, e.at);
            FillBits(in, e);
            e.index = 1 + in.U8() % 2;
            e.characters = in.Text();
            event = e;
            break;
        }
        case 5: {
            FmsTextEnd e;
            Fill(in, e.at);
            e.complete = in.U8() & 1;
            event = e;
            break;
        }
        case 6: {
            ToneSequence e;
            Fill(in, e.at);
            e.table = static_cast<std::int8_t>(in.U8());
            e.count = in.U8() % 7;
            for (auto& f : e.frequencies) f = in.Real();
            for (auto& x : e.entries) x = static_cast<std::int8_t>(in.U8());
            event = e;
            break;
        }
        case 7: {
            DtmfSequence e;
            Fill(in, e.at);
            e.keys = in.Text();
            event = e;
            break;
        }
        default: {
            FlexPage e;
            Fill(in, e.at);
            e.capcode = static_cast<std::uint32_t>(in.I32());
            e.type = static_cast<FlexPageType>(in.U8() % 5);
            e.text = in.Text();
            for (int i = in.U8() % 4; i > 0; --i) e.rawWords.push_back(static_cast<std::uint32_t>(in.I32()));
            e.mode = static_cast<FlexMode>(in.U8() % 4);
            e.phase = in.U8() % 5;
            e.cycle = in.U8();
            e.frame = in.I32() % 1000;
            e.fragmentState = static_cast<FlexFragments>(in.U8() % 3);
            event = e;
            break;
        }
    }
    return event;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const FixedClock clock(DateTime{2024, 5, 6, 14, 3, 7, 0}, DateTime{2024, 5, 6, 12, 3, 7, 0});
    Bytes in(data, size);
    compat::CompatOptions compat;
    compat.textMode = static_cast<compat::TextMode>(in.U8() % 3);
    compat.charset = static_cast<Charset>(in.U8() % 6);
    compat.fmsShort = in.U8() & 1;
    TextOptions text;
    text.oneRendering = in.U8() & 1;
    if (in.U8() & 1) text.charset = compat.charset;

    CallAssembler calls(text);
    JsonWriter writer(clock, DefaultSampleRate);
    station::StationOptions options;
    options.dedupSeconds = 5.0;
    options.only = {"pocsag:0-1000000", "fms", "zvei", "dtmf", "flex:1-99999"};
    std::vector<std::string> errors;
    auto st = station::Create(options, clock, (in.U8() & 1) != 0, errors, text, true);
    CHECK(st != nullptr && errors.empty());

    Call call;
    std::string line;
    for (int events = 0; !in.Empty() && events < 64; ++events) {
        const Event event = Next(in);
        std::string specified;
        AppendEventText(event, specified, text);
        if (calls.Take(event, call)) {
            const std::string object = writer.ToJson(call);
            const auto parsed = nlohmann::json::parse(object, nullptr, false);
            CHECK(parsed.is_object() && parsed.value("protocol", "") == call.protocol);
            CHECK(station::ValidUtf8(call.text));
        }
        if (const KindDescription* kind = FindKind(EventKind(event)); kind != nullptr && kind->compatLine != nullptr) {
            line.clear();
            if (kind->compatLine(event, compat, line)) {
                CHECK(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
                CHECK(station::ValidUtf8(line));
            }
        }
        st->OnEvent(event);
    }
    st->Finish(false, stderr);
    return 0;
}
