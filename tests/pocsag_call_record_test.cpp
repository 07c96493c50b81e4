// What a POCSAG call's end event says about the call beyond its text, for the
// specified and the sensitive decoder: the bad codewords charged to the call
// they belong to (the message log keeps its count of the whole batch), and
// messages longer than a decoder keeps marked truncated ("incomplete" in JSON).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "gen/pocsag_gen.h"
#include "gen/signal.h"
#include "pocsag_test_support.h"
#include "render/json_renderer.h"

namespace quorvel {
namespace {

using gen::PocsagMessage;
using Kind = PocsagMessage::Kind;

struct CallLog final : EventSink {
    std::vector<PocsagCallEnd> calls;
    void OnEvent(const Event& e) override {
        if (const auto* c = std::get_if<PocsagCallEnd>(&e)) calls.push_back(*c);
    }
};

// One clean transmission of the calls, with the flips, through the specified
// or the sensitive decoder.
std::vector<PocsagCallEnd> Decode(const std::vector<PocsagMessage>& messages, const std::vector<gen::PocsagFlip>& flips,
                                  bool sensitive, double rate = 1200.0, bool inverted = false) {
    auto codewords = gen::PocsagCodewords(messages);
    gen::PocsagFlipBits(codewords, flips);
    gen::PocsagSignal s;
    s.bitRate = rate;
    s.inverted = inverted;
    std::vector<double> all(5000, 0.0);
    const auto wave = gen::PocsagWaveform(s, codewords);
    all.insert(all.end(), wave.begin(), wave.end());
    all.resize(all.size() + 11025, 0.0);
    FixedClock clock(testing::kPocsagNow);
    Engine engine(clock);
    engine.ctx.settings.Sensitive.store(sensitive);
    CallLog log;
    engine.ctx.events.Subscribe(log);
    testing::DecodePocsag(gen::Quantize(all), 0, &engine);
    engine.ctx.events.Unsubscribe(log);
    return log.calls;
}

std::string Charged(const std::vector<PocsagCallEnd>& calls, bool logCount = false) {
    std::string out;
    for (const auto& c : calls) {
        out += '[';
        out += std::to_string(c.ric);
        out += ',';
        out += std::to_string(logCount ? c.logErrors : c.errors);
        out += ']';
    }
    return out;
}

// Calls 1000, 1003, 1006 in frames 0, 3, 6 of one batch: codeword 1 is the
// address of 1000, 2..3 its message, 7 the address of 1003, 8..9 its message,
// 13 the address of 1006, 14..15 its message.
const std::vector<PocsagMessage> kThree = {
    {1000, 0, Kind::Alphanumeric, "Eins"},
    {1003, 0, Kind::Alphanumeric, "Zwei"},
    {1006, 0, Kind::Alphanumeric, "Drei"},
};

TEST(PocsagCallRecord, BadCodewordsCountAgainstTheirOwnCall) {
    const struct {
        std::vector<gen::PocsagFlip> flips;
        std::string specified;  // [ric,errors] of each call
        std::string log;        // the message log's count: all bad words framed before the call's end
        std::string sensitive;
    } cases[] = {
        // 1006's address with two address bits wrong (bits 14 and 20): a call to 2046.
        {{{13, (1u << 14) | (1u << 20)}}, "[1000,0][1003,0][2046,1]", "[1000,1][1003,0][2046,0]", ""},
        // The second message word of 1003.
        {{{9, 1u << 25}}, "[1000,0][1003,1][1006,0]", "[1000,1][1003,0][1006,0]", ""},
        // Both message words of 1000 and the first of 1006.
        {{{2, 1u << 30}, {3, 1u << 12}, {14, 1u << 1}}, "[1000,2][1003,0][1006,1]", "[1000,3][1003,0][1006,0]", ""},
        // Three wrong firm bits: kept as received, and counted.
        {{{8, 0x7u << 20}}, "", "", "[1000,0][1003,1][1006,0]"},
        {{{9, (1u << 27) | (1u << 17) | (1u << 7)}}, "", "", "[1000,0][1003,1][1006,0]"},
        // The idle codeword between 1000's message and 1003 lies outside every
        // call (on the specified decoder a damaged idle reads as an address);
        // a burst of four there lands two bits from another address: no call.
        {{{4, 0x7u << 20}}, "", "", "[1000,0][1003,0][1006,0]"},
        {{{4, 0xFu << 16}}, "", "", "[1000,0][1003,0][1006,0]"},
    };
    for (const auto& c : cases) {
        if (!c.specified.empty()) {
            const auto calls = Decode(kThree, c.flips, false);
            EXPECT_EQ(Charged(calls), c.specified) << c.specified;
            EXPECT_EQ(Charged(calls, true), c.log) << c.specified;
        }
        if (!c.sensitive.empty()) {
            EXPECT_EQ(Charged(Decode(kThree, c.flips, true)), c.sensitive) << c.sensitive;
        }
    }
}

// Two wrong firm bits in every codeword but the syncs (clipping, impulse
// interference on a strong signal): each batch's next sync stands in its place
// and its words decode, so the clock held and every call comes out whole.
TEST(PocsagCallRecord, TwoWrongFirmBitsInEveryCodewordAreCorrected) {
    const std::vector<PocsagMessage> calls = {
        {1234567, 3, Kind::Alphanumeric, "Einsatz B3 Brand Wohnhaus Hauptstrasse 12"},
        {4712, 1, Kind::Numeric, "0815 4711"},
        {80, 0, Kind::ToneOnly, ""},
        {2000, 2, Kind::Alphanumeric, "Probealarm"},
    };
    const std::vector<std::vector<gen::PocsagFlip>> flips = {
        {{gen::kPocsagEveryCodeword, (1u << 30) | (1u << 29)}},  // adjacent, at the start of the word
        {{gen::kPocsagEveryCodeword, (1u << 20) | (1u << 3)}},
        {{gen::kPocsagEveryCodeword, (1u << 31) | (1u << 0)}},  // the message flag and the parity bit
    };
    const auto clean = Decode(calls, {}, true);
    ASSERT_EQ(clean.size(), calls.size());
    for (const double rate : {512.0, 1200.0, 2400.0}) {
        for (const bool inverted : {false, true}) {
            for (std::size_t f = 0; f < flips.size(); ++f) {
                const auto got = Decode(calls, flips[f], true, rate, inverted);
                ASSERT_EQ(got.size(), calls.size()) << rate << " " << inverted << " flips " << f << " " << Charged(got);
                for (std::size_t i = 0; i < calls.size(); ++i) {
                    EXPECT_EQ(got[i].ric, clean[i].ric);
                    EXPECT_EQ(got[i].function, clean[i].function);
                    EXPECT_EQ(got[i].alpha, clean[i].alpha) << rate << " " << inverted << " flips " << f;
                    EXPECT_EQ(got[i].errors, 0);
                    // The address and every message codeword were repaired.
                    EXPECT_EQ(got[i].corrected, got[i].codewords + 1);
                    EXPECT_TRUE(got[i].complete);
                }
            }
        }
    }
}

std::string Letters(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('A' + i % 26);
    return text;
}

// The 7-bit text of a message of n letters as a decoder renders it: the
// letters, then a NUL for each whole group of seven padding bits.
std::string Rendered(std::size_t n) {
    const std::size_t words = (n * 7 + 19) / 20;
    std::string text = Letters(n);
    for (std::size_t k = n; k < words * 20 / 7; ++k) text += "<NUL>";
    return text;
}

TEST(PocsagCallRecord, LongMessagesAreKeptOrMarkedTruncated) {
    const struct {
        bool sensitive;
        std::size_t letters;
        std::size_t codewords;  // kept
        bool truncated;
    } cases[] = {
        {false, 180, 63, false},  // 63 codewords exactly: whole
        {false, 300, 63, true},   // the specified decoder keeps 63
        {true, 300, 105, false},
        {true, 4094, 1433, false},  // the most the sensitive decoder keeps
        {true, 4200, 1433, true},
    };
    for (const auto& c : cases) {
        const auto calls = Decode({{1234567, 3, Kind::Alphanumeric, Letters(c.letters)}}, {}, c.sensitive, 2400.0);
        ASSERT_EQ(calls.size(), 1u) << c.letters;
        const PocsagCallEnd& call = calls[0];
        EXPECT_EQ(call.codewords, static_cast<std::int32_t>(c.codewords)) << c.letters;
        EXPECT_EQ(call.truncated, c.truncated) << c.letters;
        EXPECT_TRUE(call.complete);
        EXPECT_EQ(call.errors, 0);
        if (!c.truncated) {
            EXPECT_EQ(call.alpha, Rendered(c.letters)) << c.letters;
        } else {
            EXPECT_EQ(call.alpha.substr(0, c.codewords * 20 / 7 - 2), Letters(c.codewords * 20 / 7 - 2));
        }

        FixedClock clock(testing::kPocsagNow);
        JsonEvents json(clock, 11025);
        std::string line;
        ASSERT_TRUE(json.ToJson(call, line));
        EXPECT_EQ(nlohmann::json::parse(line).value("incomplete", false), c.truncated) << line.substr(0, 200);
    }
}

}  // namespace
}  // namespace quorvel
