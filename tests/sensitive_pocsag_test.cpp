// The sensitive POCSAG decoder's stages alone, on input whose answer is known:
// the BCH corrector over every one-, two- and three-bit error pattern, the sync
// comparison, the clock recovery on a clean preamble at every rate in use and
// an odd one with the clock 500 ppm off either way (both characteristics), and
// the line output's trellis on the values its model predicts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "core/sensitive/pocsag_stages.h"
#include "gen/pocsag_gen.h"

namespace quorvel::sensitive {
namespace {

const std::uint32_t kCodewords[] = {
    Idle,
    Sync,
    gen::PocsagEncodeBch(0x12345u),
    gen::PocsagEncodeBch(0x1FFFFFu),
    gen::PocsagEncodeBch(0x100000u | 0xABCDEu),  // a message word
    0u,
};

TEST(SensitiveBch, EveryOneAndTwoBitErrorIsCorrectedExactly) {
    const BchCorrector bch;
    for (const std::uint32_t cw : kCodewords) {
        ASSERT_EQ(Syndrome(cw), 0u);
        const Correction clean = bch.Hard(cw);
        EXPECT_TRUE(clean.ok);
        EXPECT_EQ(clean.flipped, 0);
        for (int i = 0; i < 32; ++i) {
            for (int j = i; j < 32; ++j) {
                const std::uint32_t error = (1u << i) | (1u << j);
                const Correction c = bch.Hard(cw ^ error);
                ASSERT_TRUE(c.ok) << std::hex << cw << " bits " << std::dec << i << "," << j;
                EXPECT_EQ(c.word, cw);
                EXPECT_EQ(c.flipped, std::popcount(error));
            }
        }
    }
}

TEST(SensitiveBch, ThreeBitErrorsAreNeverMiscorrected) {
    const BchCorrector bch;
    for (const std::uint32_t cw : kCodewords) {
        int patterns = 0;
        for (int i = 0; i < 32; ++i)
            for (int j = i + 1; j < 32; ++j)
                for (int k = j + 1; k < 32; ++k) {
                    const Correction c = bch.Hard(cw ^ (1u << i) ^ (1u << j) ^ (1u << k));
                    ASSERT_FALSE(c.ok) << std::hex << cw << " bits " << std::dec << i << "," << j << "," << k;
                    ++patterns;
                }
        EXPECT_EQ(patterns, 4960);
    }
}

TEST(SensitiveBch, SoftDecisionRepairsThreeWeakBitsAndPrefersTheCheapest) {
    const BchCorrector bch;
    const std::uint32_t cw = gen::PocsagEncodeBch(0x0F0F0u);
    for (int shift = 0; shift < 29; shift += 4) {
        // Three wrong bits, each received weakly; all others firm.
        const std::uint32_t error = 7u << shift;
        const std::uint32_t received = cw ^ error;
        std::array<double, 32> soft{};
        for (int i = 0; i < 32; ++i) {
            const bool one = (received >> (31 - i)) & 1u;
            const bool weak = (error >> (31 - i)) & 1u;
            soft[static_cast<std::size_t>(i)] = (one ? 1.0 : -1.0) * (weak ? 0.1 : 1.0);
        }
        EXPECT_FALSE(bch.Hard(received).ok);
        const Correction c = bch.Soft(received, soft);
        ASSERT_TRUE(c.ok) << shift;
        EXPECT_EQ(c.word, cw);
        EXPECT_EQ(c.flipped, 3);
        EXPECT_TRUE(c.soft);
        EXPECT_NEAR(c.cost, 0.3, 1e-9);
    }
    // Firm bits everywhere: three errors stay uncorrected by flips of the
    // weakest bits only when no candidate within four changes exists.
    std::array<double, 32> firm{};
    firm.fill(1.0);
    const Correction one = bch.Soft(cw ^ 0x10u, firm);
    EXPECT_TRUE(one.ok);
    EXPECT_EQ(one.word, cw);
    EXPECT_FALSE(one.soft);
}

TEST(SensitiveSync, WrongBitsAreCountedInBothPolarities) {
    const std::uint32_t flips[] = {0u, 1u << 31, (1u << 3) | (1u << 17), (1u << 0) | (1u << 9) | (1u << 30)};
    for (int k = 0; k < 4; ++k) {
        const SyncMatch direct = SyncErrors(Sync ^ flips[k]);
        EXPECT_EQ(direct.errors, k);
        EXPECT_FALSE(direct.inverted);
        const SyncMatch inverted = SyncErrors(~Sync ^ flips[k]);
        EXPECT_EQ(inverted.errors, k);
        EXPECT_TRUE(inverted.inverted);
    }
    // The preamble and idle fill are far from the sync word either way.
    EXPECT_GT(SyncErrors(0xAAAAAAAAu).errors, 8);
    EXPECT_GT(SyncErrors(0x55555555u).errors, 8);
    EXPECT_GT(SyncErrors(Idle).errors, 8);
}

TEST(SensitiveSampleRing, IntegralCoversFractionsOfSamples) {
    SampleRing ring;
    for (std::int64_t k = 5000; k < 5010; ++k) ring.Put(k, static_cast<double>(k - 5000));
    EXPECT_DOUBLE_EQ(ring.Integral(5002.0, 5005.0), 2.0 + 3.0 + 4.0);
    EXPECT_DOUBLE_EQ(ring.Integral(5002.5, 5004.25), 0.5 * 2.0 + 3.0 + 0.25 * 4.0);
    EXPECT_DOUBLE_EQ(ring.Integral(5003.25, 5003.75), 0.5 * 3.0);
}

// The clock's bit ends on a clean preamble, against the true ones.
struct ClockCase {
    double rate;
    double ppm;
    bool line = false;
};

class SensitiveClock : public ::testing::TestWithParam<ClockCase> {};

TEST_P(SensitiveClock, LocksOnThePreambleAndKeepsTheBitCentred) {
    const ClockCase c = GetParam();
    gen::PocsagSignal s;
    s.bitRate = c.rate * (1.0 + c.ppm * 1e-6);
    s.preambleBits = 600;
    s.output = c.line ? gen::PocsagSignal::Output::LineOutput : gen::PocsagSignal::Output::Discriminator;
    const std::vector<double> wave = gen::PocsagWaveform(s, {});
    const double truePeriod = SampleRateHz / s.bitRate;

    FrontEnd front(c.line ? Characteristic::LineOutput : Characteristic::Discriminator);
    SampleRing ring;
    std::array<PreambleChannel, 4> channels;
    const double bands[4][2] = {{3.9, 6.3}, {6.1, 9.9}, {9.6, 15.6}, {15.1, 25.7}};
    for (int k = 0; k < 4; ++k) channels[static_cast<std::size_t>(k)].Configure(bands[k][0], bands[k][1]);
    BitClock clock;
    clock.SetLineModel(c.line);
    bool locked = false;
    double lastMeasure = 0.0;
    int bits = 0;
    double worst = 0.0;
    for (std::size_t i = 0; i < wave.size(); ++i) {
        const auto index = static_cast<std::int64_t>(i);
        ring.Put(index, front.Step(wave[i] + 400.0));
        if (bits < 64) {
            // As the decoder does: the first measure of the period can be off
            // while the filters settle (a few per cent on the line output); a
            // later one that disagrees with the clock locks again.
            for (auto& ch : channels) {
                if (!ch.Step(ring.At(index), index)) continue;
                lastMeasure = ch.Period();
                if (locked && std::fabs(ch.Period() - clock.Period()) < 0.006 * clock.Period()) break;
                clock.Lock(ring, index, ch.Period());
                locked = true;
                bits = 0;
                break;
            }
        }
        if (!locked || i % 1024 != 1023) continue;
        SoftBit bit;
        while (clock.Next(ring, index + 1, bit)) {
            ++bits;
            if (bits == 64) clock.SetTracking(true);
            if (bits < 64) continue;
            // Distance of the clock's bit end from the nearest true bit end. The
            // ring holds sample k over k..k+1, so its times run half a sample
            // behind the generator's, whose sample k is the value at k.
            const double phase = (bit.time - 0.5) / truePeriod;
            worst = std::max(worst, std::fabs(phase - std::round(phase)));
            EXPECT_GT(std::fabs(bit.value), 0.8);
        }
    }
    ASSERT_TRUE(locked);
    EXPECT_NEAR(lastMeasure, truePeriod, 0.01 * truePeriod);
    EXPECT_GT(bits, 300);
    EXPECT_LT(worst, 0.08) << "bit periods";
    EXPECT_NEAR(clock.Period(), truePeriod, 0.002 * truePeriod);
}

INSTANTIATE_TEST_SUITE_P(RatesAndClockErrors, SensitiveClock,
                         ::testing::Values(ClockCase{512, -500}, ClockCase{512, 500}, ClockCase{1200, -500},
                                           ClockCase{1200, 500}, ClockCase{2400, -500}, ClockCase{2400, 500},
                                           ClockCase{1625, -500}, ClockCase{1625, 500}, ClockCase{441, 0},
                                           ClockCase{2756, 0}, ClockCase{512, -500, true}, ClockCase{512, 500, true},
                                           ClockCase{1200, -500, true}, ClockCase{1200, 500, true},
                                           ClockCase{2400, -500, true}, ClockCase{2400, 500, true},
                                           ClockCase{1625, 500, true}, ClockCase{441, 0, true}));

// The line output's interference: the audio path passes no DC, so a bit's
// values over all its neighbours sum to nothing; and values made by the model
// from known bits come back as those bits, Delay steps later.
class SensitiveLineTrellis : public ::testing::TestWithParam<double> {};

TEST_P(SensitiveLineTrellis, KnowsTheInterferenceAndUndoesIt) {
    const double period = SampleRateHz / GetParam();
    LineTrellis trellis;
    trellis.Configure(period);
    ASSERT_GT(trellis.Rho(0), 0.0);
    double sum = trellis.Rho(0);
    for (int d = 1; d <= LineTrellis::Memory; ++d) sum += 2.0 * trellis.Rho(d);
    EXPECT_LT(std::fabs(sum), 0.03 * trellis.Rho(0));

    // Random bits after a preamble, long runs included.
    std::vector<int> bits;
    for (int i = 0; i < 40; ++i) bits.push_back(i % 2 == 0 ? 1 : -1);
    std::uint32_t x = 12345u;
    for (int i = 0; i < 600; ++i) {
        x = x * 1103515245u + 12345u;
        const int run = 1 + static_cast<int>((x >> 16) % 9);
        for (int k = 0; k < run; ++k) bits.push_back(i % 2 == 0 ? 1 : -1);
    }
    const auto value = [&](int k) {
        double u = trellis.Rho(0) * bits[static_cast<std::size_t>(k)];
        for (int d = 1; d <= LineTrellis::Memory; ++d) {
            if (k - d >= 0) u += trellis.Rho(d) * bits[static_cast<std::size_t>(k - d)];
            if (k + d < static_cast<int>(bits.size())) u += trellis.Rho(d) * bits[static_cast<std::size_t>(k + d)];
        }
        return u;
    };
    trellis.Reset(true);
    int wrong = 0;
    const int n = static_cast<int>(bits.size()) - LineTrellis::Memory;
    for (int k = 0; k < n; ++k) {
        trellis.Step(value(k));
        const int decided = k - LineTrellis::Delay;
        if (decided < 2 * LineTrellis::Memory) continue;
        const int b = ((trellis.Best() >> LineTrellis::Delay) & 1u) != 0 ? 1 : -1;
        if (b != bits[static_cast<std::size_t>(decided)]) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, SensitiveLineTrellis, ::testing::Values(441.0, 512.0, 1200.0, 1625.0, 2400.0, 2756.0));

}  // namespace
}  // namespace quorvel::sensitive
