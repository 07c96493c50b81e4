// The kinds as the sinks see them: every event belongs to a described kind, and
// a kind's form switched mid-call never loses the call or glues its text to
// another line.
#include <gtest/gtest.h>

#include <regex>
#include <variant>

#include "core/kind.h"
#include "gen/pocsag_gen.h"
#include "gen/signal.h"
#include "render/json_renderer.h"
#include "test_support.h"

namespace quorvel {
namespace {

template <std::size_t... I>
std::vector<Event> OneOfEach(std::index_sequence<I...>) {
    return {Event(std::in_place_index<I>)...};
}

TEST(Kinds, EveryEventHasADescribedKindThatWritesAndRecordsIt) {
    const std::vector<Event> events = OneOfEach(std::make_index_sequence<std::variant_size_v<Event>>{});
    for (const Event& e : events) {
        const KindDescription* kind = FindKind(EventKind(e));
        ASSERT_NE(kind, nullptr) << "event " << e.index() << " of kind " << EventKind(e) << " has no description";
        EXPECT_NE(kind->appendText, nullptr);
        EXPECT_NE(kind->makeBuilder, nullptr);
        EXPECT_FALSE(kind->protocols.empty()) << kind->name;
        for (std::string_view p : kind->protocols) EXPECT_EQ(FindKindOfProtocol(p), kind) << p;
    }
    // Every kind of the registry: its records carry one of its protocols.
    for (const KindDescription* kind : Kinds()) EXPECT_EQ(FindKind(kind->name), kind);
}

// A call of 40 characters at 1200 bit/s, with the Sensitive switch flipped in
// the middle of its message, both ways, in text and in JSON: the form going off
// ends its call (whole or marked incomplete) before the other writes anything.
TEST(Kinds, SwitchingTheFormMidCallLosesNothing) {
    gen::PocsagSignal p;
    p.bitRate = 1200;
    const std::string message = "Einsatz B3 Brand Wohnhaus Hauptstrasse 7";
    std::vector<double> wave = gen::PocsagWaveform(
        p, gen::PocsagCodewords({{1234567, 3, gen::PocsagMessage::Kind::Alphanumeric, message}}));
    wave.resize(wave.size() + 11025, 0.0);
    const std::vector<std::int16_t> pcm = gen::Quantize(wave);
    // Mid message: the address lies in the first batch, 40 characters fill the
    // next batch as well.
    const std::size_t flipAt = static_cast<std::size_t>((p.preambleBits + 17 * 32 + 8 * 32) * 11025.0 / p.bitRate);
    for (const bool toSensitive : {true, false}) {
        for (const bool json : {false, true}) {
            SCOPED_TRACE(std::string(toSensitive ? "to sensitive" : "to specified") + (json ? ", JSON" : ", text"));
            FixedClock clock(DateTime{2024, 5, 6, 14, 3, 7, 0});
            Engine e(clock);
            std::unique_ptr<EventSink> sink;
            if (json) sink = std::make_unique<JsonRenderer>(e.ctx);
            else sink = std::make_unique<TextRenderer>(e.ctx);
            e.ctx.settings.PocsagEnabled = true;
            e.ctx.settings.Sensitive = !toSensitive;
            std::string out = testing::DecodeSamples(e, std::span(pcm).first(flipAt));
            e.ctx.settings.Sensitive = toSensitive;
            out += testing::DecodeSamples(e, std::span(pcm).subspan(flipAt));
            e.FinishInput([&] {
                std::string taken;
                e.ctx.TakeText(taken);
                out += taken;
            });
            if (json) {
                // The call is there, whole or marked incomplete; nothing else
                // names its address without being a call of its own.
                EXPECT_NE(out.find("\"ric\":1234567"), std::string::npos) << out;
                std::smatch m;
                const std::regex call("\\{[^\\n]*\"ric\":1234567[^\\n]*\\}");
                ASSERT_TRUE(std::regex_search(out, m, call)) << out;
                const std::string object = m.str();
                EXPECT_TRUE(object.find("\"message\":\"" + message + "\"") != std::string::npos ||
                            object.find("\"incomplete\":true") != std::string::npos)
                    << object;
            } else {
                // Every line is a whole line: an address line ends in its message,
                // a tone, or a bare line end, never in another decoder's text.
                EXPECT_NE(out.find("1234567:\t3\t"), std::string::npos) << out;
                const std::regex glued("\\d{7}:\\t\\d\\t(?!AlphaNum|Numerisch|Beep|\\r\\n)");
                EXPECT_FALSE(std::regex_search(out, glued)) << out;
                EXPECT_EQ(out.find("\t\t1234567:"), std::string::npos) << out;
            }
        }
    }
}

}  // namespace
}  // namespace quorvel
