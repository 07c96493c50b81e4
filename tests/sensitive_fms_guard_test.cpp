// What the sensitive FMS decoder must never show: telegrams made of tones
// that are no FMS (steady tones, five-tone calls of every table, clean and in
// noise) and telegrams whose data repeat a short pattern (all zeros, all ones,
// a byte over and over), whose 7 check bits pass by construction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sensitive/fms_sensitive.h"
#include "core/zvei.h"
#include "sensitive_signals.h"

namespace quorvel {
namespace {

using namespace quorvel::testing;

// A clean transmission of the 40 data bits `data` (check part filled in).
std::vector<double> TelegramOf(const std::string& data) {
    gen::FmsBlockBits block{};
    for (std::size_t k = 0; k < 40; ++k) block[k] = static_cast<std::uint8_t>(data[k] - '0');
    gen::FmsFillCheckPart(block);
    std::vector<std::uint8_t> bits(12, 1);
    for (std::uint8_t b : {0, 0, 0, 1, 1, 0, 1, 0}) bits.push_back(b);
    bits.insert(bits.end(), block.begin(), block.end());
    bits.push_back(1);
    std::vector<double> s(3000, 0.0);
    const auto wave = gen::FmsWaveform(bits, 8000.0, SignalRate);
    s.insert(s.end(), wave.begin(), wave.end());
    s.resize(s.size() + 5000, 0.0);
    return s;
}

std::string DataOf(const gen::FmsStatusTelegram& t) {
    const gen::FmsBlockBits bits = gen::FmsStatusBits(t);
    std::string s;
    for (std::size_t k = 0; k < 40; ++k) s += static_cast<char>('0' + bits[k]);
    return s;
}

std::string Repeat(const std::string& pattern) {
    std::string s;
    while (s.size() < 40) s += pattern;
    return s.substr(0, 40);
}

TEST(SensitiveFmsGuard, TelegramsRepeatingAShortPatternAreNotShown) {
    const struct {
        std::string data;
        bool shown;
    } cases[] = {
        {Repeat("0"), false},
        {Repeat("1"), false},
        {Repeat("01010000"), false},  // 0A0A0A0A, status A: a byte over and over
        {Repeat("0110"), false},
        {Repeat("1110010"), false},
        {DataOf({}), true},  // organisation 6, Land 3, location 1 2, vehicle 3456, status 2
        // Long runs of zeros: vehicle 0000, status 0.
        {DataOf({1, 1, {0, 0}, {0, 0, 0, 0}, 0, 0, 1, 2}), true},
        {DataOf({15, 15, {15, 15}, {15, 15, 15, 14}, 15, 1, 1, 3}), true},
    };
    for (const auto& c : cases) {
        DecodeRig rig(true, true, false);
        rig.Decode(TelegramOf(c.data));
        EXPECT_EQ(rig.log.telegrams.size(), c.shown ? 1u : 0u) << c.data;
        std::array<std::uint8_t, 48> bits{};
        for (std::size_t k = 0; k < 40; ++k) bits[k] = static_cast<std::uint8_t>(c.data[k] - '0');
        EXPECT_EQ(SensitiveFmsDecoder::Repeating(bits), !c.shown) << c.data;
    }
}

// Every tone of every five-tone table, 1200 and 1800 Hz, steady for two
// seconds, clean and in noise: no sync word is taken from them.
TEST(SensitiveFmsGuard, SteadyTonesNeverPassTheSyncSearch) {
    std::vector<double> freqs = {1200.0, 1800.0};
    for (int table = 0; table < zvei::TableCount; ++table) {
        const zvei::ToneTable& t = zvei::Table(table);
        for (std::int32_t k = 0; k < t.entryCount; ++k) freqs.push_back(t.entries[k].frequency);
    }
    for (const double f : freqs) {
        for (const double snr : {static_cast<double>(INFINITY), 6.0}) {
            std::vector<double> s = ToneRun({f}, {8000.0}, 2.0);
            if (std::isfinite(snr)) gen::AddNoise(s, gen::MeanSquare(s), GeneratorSnr(snr), 7);
            DecodeRig rig(true, true, false);
            rig.Decode(s);
            const auto* d = static_cast<const SensitiveFmsDecoder*>(rig.engine.decoders.Find("fms", DecoderForm::Sensitive));
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(d->DroppedBlocks(), 0) << f << " Hz, " << snr << " dB";
            EXPECT_TRUE(rig.log.telegrams.empty()) << f << " Hz, " << snr << " dB";
        }
    }
}

// Every tone of the tables near 1200 Hz followed by every one near 1800 Hz, as
// a call changes tone (70 ms each, the second as loud, louder or softer):
// the first looks like a preamble, the second like the sync word's "0" bits,
// and the two can fit the template's phases, not its bits one by one. (Tones
// between, near 1500 Hz, hold both frequencies alike; what the bit detector
// reads from them is left to the status telegram's own checks.)
TEST(SensitiveFmsGuard, AToneChangeFromNear1200ToNear1800HzIsNoSyncWord) {
    std::vector<double> low;
    std::vector<double> high;
    for (int table = 0; table < zvei::TableCount; ++table) {
        const zvei::ToneTable& t = zvei::Table(table);
        for (std::int32_t k = 0; k < t.entryCount; ++k) {
            const double f = t.entries[k].frequency;
            if (std::fabs(f - 1200.0) <= 150.0) low.push_back(f);
            if (std::fabs(f - 1800.0) <= 150.0) high.push_back(f);
        }
    }
    ASSERT_GE(low.size(), 4u);
    ASSERT_GE(high.size(), 4u);
    for (const double a : low) {
        for (const double b : high) {
            for (const double gain : {1.0, 2.0, 0.5}) {
                std::vector<double> s(2000, 0.0);
                const auto tones = ToneRun({a, b}, {6000.0, 6000.0 * gain}, 0.07);
                s.insert(s.end(), tones.begin(), tones.end());
                s.resize(s.size() + 3000, 0.0);
                DecodeRig rig(true, true, false);
                rig.Decode(s);
                const auto* d =
                    static_cast<const SensitiveFmsDecoder*>(rig.engine.decoders.Find("fms", DecoderForm::Sensitive));
                ASSERT_NE(d, nullptr);
                EXPECT_EQ(d->DroppedBlocks(), 0) << a << " Hz to " << b << " Hz, x" << gain;
                EXPECT_TRUE(rig.log.telegrams.empty());
            }
        }
    }
}

// A minute of five-tone calls of each table at each noise level.
TEST(SensitiveFmsGuard, FiveToneCallsOfEveryTableGiveNoTelegram) {
    for (int table = 0; table < zvei::TableCount; ++table) {
        for (const double snr : {static_cast<double>(INFINITY), 20.0, 12.0, 6.0, 3.0, 0.0}) {
            const auto s = FiveToneTraffic(60 * SignalRate, table, snr, 300 + static_cast<std::uint64_t>(table));
            DecodeRig rig(true, true, false);
            rig.Decode(s);
            EXPECT_TRUE(rig.log.telegrams.empty()) << zvei::Table(table).name << " " << snr << " dB";
        }
    }
}

}  // namespace
}  // namespace quorvel
