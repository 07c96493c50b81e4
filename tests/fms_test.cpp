// The FMS decoder's stages one at a time, and the FMS signal generator.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "core/fms.h"
#include "gen/fms_gen.h"
#include "render/text_renderer.h"

namespace quorvel {
namespace {

constexpr std::array<double, 21> Sync = {1800, 1800, 1800, 1800, 1800, 1800, 1800, 1800, 1800, 1200, 1200,
                                         1200, 1200, 1800, 1800, 1800, 1200, 1200, 1800, 1800, 1800};

class FmsStage : public ::testing::Test {
protected:
    FixedClock clock{DateTime{2024, 5, 6, 14, 3, 7, 0}};
    SharedContext ctx{clock};
    TextRenderer text{ctx};
    FmsDecoder fms{ctx};

    // Put estimates into the ring from slot `at` on and make them the unread ones.
    void Ring(const std::vector<double>& values, std::int32_t at = 0) {
        for (std::size_t k = 0; k < values.size(); ++k)
            fms.FreqRing[static_cast<std::size_t>((at + static_cast<std::int32_t>(k)) % 1024)] = values[k];
        fms.FreqRead = at;
        fms.FreqWrite = (at + static_cast<std::int32_t>(values.size())) % 1024;
    }
    void Bits(const std::vector<int>& ones, const std::vector<int>& undecided = {}) {
        fms.TelegramBits.fill(0);
        for (int k : ones) fms.TelegramBits[static_cast<std::size_t>(k)] = 1;
        for (int k : undecided) fms.TelegramBits[static_cast<std::size_t>(k)] = 2;
    }
    // Estimates of the given bits as a clean signal gives them.
    static std::vector<double> Estimates(const std::vector<int>& bits) {
        std::vector<double> out;
        for (int b : bits) out.insert(out.end(), b != 0 ? 2 : 3, b != 0 ? 1200.0 : 1800.0);
        return out;
    }
    static std::vector<int> FieldBits(std::initializer_list<std::pair<int, int>> fields) {
        std::vector<int> bits;
        for (const auto& [value, width] : fields)
            for (int k = 0; k < width; ++k) bits.push_back((value >> k) & 1);
        return bits;
    }
    void Tone(double frequency, double amplitude) {
        for (std::size_t i = 0; i < fms.FmsBlock.size(); ++i)
            fms.FmsBlock[i] = amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / 11025.0 + 0.3);
    }
};

// ----- conditioning and frequency estimator -----

TEST_F(FmsStage, ConditioningRemovesDcAndDithersInSampleOrder) {
    ctx.stats.DcOffset.store(40.0);
    for (std::size_t i = 0; i < ctx.SampleBlock.size(); ++i) ctx.SampleBlock[i] = static_cast<double>(i);
    RandomGenerator expected;
    fms.FmsConditionBlock();
    for (std::size_t i = 0; i < ctx.SampleBlock.size(); ++i) {
        const double r = expected.NextRandom();
        ASSERT_EQ(fms.FmsBlock[i], (r + (static_cast<double>(i) - 40.0)) - 0.5) << i;
    }
    EXPECT_EQ(ctx.random.Seed(), expected.Seed());
    EXPECT_EQ(ctx.SampleBlock[5], 5.0);
}

TEST_F(FmsStage, CleanTonesGiveTheirFrequencyPerHalfCycle) {
    for (const double f : {1200.0, 1800.0}) {
        FmsDecoder d(ctx);
        for (std::size_t i = 0; i < d.FmsBlock.size(); ++i)
            d.FmsBlock[i] = 8000.0 * std::sin(2.0 * std::numbers::pi * f * static_cast<double>(i) / 11025.0 + 0.3);
        d.FmsTrackFrequency();
        // 1024 samples over half-periods of 4.59375 (1200 Hz) or 3.0625 (1800 Hz).
        const double halfPeriod = 11025.0 / (2.0 * f);
        const std::int32_t n = d.FreqWrite;
        EXPECT_NEAR(n, 1024.0 / halfPeriod, 1.5) << f;
        double sum = 0.0;
        // Estimate 0 is the start of the block (a crossing against 0.0), estimate
        // 1 a partial half-cycle; from then on whole ones.
        for (std::int32_t k = 2; k < n; ++k) {
            EXPECT_NEAR(d.FreqRing[static_cast<std::size_t>(k)], f, f * 0.02) << f << " estimate " << k;
            sum += d.FreqRing[static_cast<std::size_t>(k)];
        }
        EXPECT_NEAR(sum / (n - 2), f, 2.0) << f;
    }
}

TEST_F(FmsStage, FirstSampleAfterStartCountsAsCrossing) {
    fms.FmsBlock.fill(100.0);
    fms.SetGapBreak(false);
    fms.FmsTrackFrequency();
    ASSERT_EQ(fms.FreqWrite, 1);
    EXPECT_EQ(fms.FreqRing[0], -5512.5);
    EXPECT_EQ(fms.PrevSample, 100.0);
    // The crossing lies at the start value 0.0, one sample before sample 0.
    EXPECT_EQ(fms.SinceCrossing, 1025.0);
}

TEST_F(FmsStage, ZeroHalfPeriodIsSkippedAndTrackingGoesOn) {
    fms.PrevSample = 5.0;
    fms.SinceCrossing = 3.0;
    fms.FmsBlock.fill(0.0);
    // 5 -> 0: a crossing at the zero sample (e = 1); 0 -> 3: a crossing at the
    // same place again (e = 0), half-period 0; then -3 half-way, 3 half-way.
    fms.FmsBlock[0] = 0.0;
    for (std::size_t i = 1; i < fms.FmsBlock.size(); ++i) fms.FmsBlock[i] = (i % 2 == 1) ? 3.0 : -3.0;
    fms.FmsTrackFrequency();
    // Half-periods 3 (to the zero sample), none, 1.5, then 1.0 each.
    EXPECT_EQ(fms.FreqRing[0], 11025.0 / 3.0 / 2.0);
    EXPECT_EQ(fms.FreqRing[1], 11025.0 / 1.5 / 2.0);
    EXPECT_EQ(fms.FreqRing[2], 11025.0 / 2.0);
    for (std::int32_t k = 0; k < fms.FreqWrite; ++k) EXPECT_TRUE(std::isfinite(fms.FreqRing[static_cast<std::size_t>(k)])) << k;
    EXPECT_EQ(fms.FreqWrite, 1 + 1022);  // one crossing in 1024 gave no estimate
}

// ----- preamble search -----

TEST_F(FmsStage, PreambleNeedsElevenInBandPairMeans) {
    Ring(std::vector<double>(11, 1200.0));  // ten pairs
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FmsState, fsSearchPreamble);

    Ring(std::vector<double>(12, 1200.0));  // eleven pairs
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FmsState, fsPreambleFound);
    EXPECT_EQ(fms.FreqRead, 11);  // the second estimate of the last in-band pair
}

TEST_F(FmsStage, PairMeanOnEitherBoundBreaksTheRun) {
    // Estimate 6 of twelve is paired twice; (1200 + v) / 2 is the pair mean.
    const std::vector<std::pair<double, std::int32_t>> cases = {
        {1000.0, fsSearchPreamble}, {1000.5, fsPreambleFound}, {1400.0, fsSearchPreamble}, {1399.5, fsPreambleFound}};
    for (const auto& [v, state] : cases) {
        std::vector<double> run(12, 1200.0);
        run[6] = v;
        fms.FmsState = fsSearchPreamble;
        Ring(run, 100);
        fms.FmsSearchPreamble();
        EXPECT_EQ(fms.FmsState, state) << v;
    }
}

TEST_F(FmsStage, WithoutPreambleReadStaysTwentyBehindWrite) {
    Ring(std::vector<double>(300, 1800.0), 900);
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FmsState, fsSearchPreamble);
    EXPECT_EQ(fms.FreqRead, (900 + 280) % 1024);

    Ring(std::vector<double>(5, 1800.0), 0);  // fewer than 20: moves backwards
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FreqRead, 1024 - 15);
}

TEST_F(FmsStage, WaitEndsWithMoreThanTwoHundredUnread) {
    fms.FmsState = fsPreambleFound;
    Ring(std::vector<double>(200, 1500.0), 1000);
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FmsState, fsPreambleFound);
    EXPECT_EQ(fms.FreqRead, 1000);

    Ring(std::vector<double>(201, 1500.0), 1000);
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FmsState, fsSearchSync);

    // In the call that finds the preamble, what counts is what lies after it.
    fms.FmsState = fsSearchPreamble;
    std::vector<double> v(12, 1200.0);
    v.resize(12 + 199, 1500.0);
    Ring(v);
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FmsState, fsPreambleFound);  // 200 after the new FreqRead = 11
    EXPECT_EQ(fms.FreqRead, 11);
    v.push_back(1500.0);
    fms.FmsState = fsSearchPreamble;
    Ring(v);
    fms.FmsSearchPreamble();
    EXPECT_EQ(fms.FmsState, fsSearchSync);
}

// ----- sync search -----

std::vector<double> WithSyncAt(std::int32_t offset, std::size_t total = 60) {
    std::vector<double> v(total, 1200.0);
    for (std::size_t k = 0; k < Sync.size(); ++k) v[static_cast<std::size_t>(offset) + k] = Sync[k];
    return v;
}

TEST_F(FmsStage, SyncAcceptedAtItsOffset) {
    fms.BlockCount = 2;
    fms.FmsState = fsSearchSync;
    Ring(WithSyncAt(13), 1010);
    fms.FmsSearchSync();
    EXPECT_EQ(fms.FmsState, fsTelegram);
    EXPECT_EQ(fms.BlockCount, 0);
    EXPECT_EQ(fms.FreqRead, (1010 + 13 + 21) % 1024);
}

TEST_F(FmsStage, SyncAtOffsetZeroIsRejected) {
    fms.FmsState = fsSearchSync;
    Ring(WithSyncAt(0));
    fms.FmsSearchSync();
    EXPECT_EQ(fms.FmsState, fsSearchPreamble);
    EXPECT_EQ(fms.FreqRead, 21);

    fms.FmsState = fsSearchSync;  // nothing but the preamble: E(0) is the best too
    Ring(std::vector<double>(60, 1200.0));
    fms.FmsSearchSync();
    EXPECT_EQ(fms.FmsState, fsSearchPreamble);
    EXPECT_EQ(fms.FreqRead, 21);
}

TEST_F(FmsStage, SyncErrorsRoundHalvesToEvenAndTiesTakeTheLowerOffset) {
    // Offset 3: squared error 2500 (E = round(2.5) = 2). Offset 24: 900 + 400 +
    // 100 + 100 = 1500 (E = round(1.5) = 2). Equal: offset 3 wins.
    std::vector<double> v(60, 1200.0);
    for (std::size_t k = 0; k < 21; ++k) {
        v[3 + k] = Sync[k];
        v[24 + k] = Sync[k];
    }
    v[3 + 4] += 50.0;
    v[24 + 0] += 30.0;
    v[24 + 1] -= 20.0;
    v[24 + 9] += 10.0;
    v[24 + 20] -= 10.0;
    fms.FmsState = fsSearchSync;
    Ring(v);
    fms.FmsSearchSync();
    EXPECT_EQ(fms.FmsState, fsTelegram);
    EXPECT_EQ(fms.FreqRead, 3 + 21);

    // One more unit of error at offset 3 (2601 -> E = 3): offset 24 wins.
    v[3 + 4] += 1.0;
    fms.FmsState = fsSearchSync;
    Ring(v);
    fms.FmsSearchSync();
    EXPECT_EQ(fms.FreqRead, 24 + 21);
}

TEST_F(FmsStage, SyncNeedsAThirdOfTheErrorAtOffsetZero) {
    // A window that matches nowhere well: every estimate 1500.
    fms.FmsState = fsSearchSync;
    Ring(std::vector<double>(60, 1500.0));
    fms.FmsSearchSync();
    EXPECT_EQ(fms.FmsState, fsSearchPreamble);
}

// ----- slicer -----

TEST_F(FmsStage, SlicerPrefersZeroAndConsumesOneEstimateWhenUndecided) {
    std::vector<double> v = {1350, 1350, 1900, 1600, 1600, 1300, 1200, 1200};
    v.resize(200, 1200.0);
    Ring(v);
    fms.FmsSliceTelegram();
    EXPECT_EQ(fms.TelegramBits[0], 0);  // 1350 1350 1900
    EXPECT_EQ(fms.TelegramBits[1], 2);  // 1600 1600 1300: neither
    // The undecided bit took one estimate: the next is tried at 1600 1300 (pair
    // mean 1450), a 1, and the one after that at 1200 1200.
    EXPECT_EQ(fms.TelegramBits[2], 1);
    EXPECT_EQ(fms.TelegramBits[3], 1);
    EXPECT_EQ(fms.FreqRead, 3 + 1 + 2 + 2 + 44 * 2);
}

TEST_F(FmsStage, SlicerCases) {
    struct Case {
        std::vector<double> estimates;
        int bit;
    };
    const std::vector<Case> cases = {
        {{1350, 1350, 1900}, 0},  // all above 1300, mean 1533: a 0 before the test for 1
        {{1600, 1600, 1300}, 2},  // third not above 1300, pair mean 1600
        {{1301, 1301, 1301}, 1},  // mean not above 1500: falls to the test for 1
        {{1699, 1300, 1900}, 1},  // f1 not above 1300; pair mean 1499.5
        {{1700, 1200, 1200}, 2},  // f0 not below 1700
        {{1800, 1800, 1800}, 0},
        {{-1200, -1200, 5000}, 1},  // magnitudes are used
    };
    for (const Case& c : cases) {
        std::vector<double> v = c.estimates;
        v.resize(200, 0.0);
        Ring(v);
        fms.FmsSliceTelegram();
        EXPECT_EQ(fms.TelegramBits[0], c.bit) << c.estimates[0] << " " << c.estimates[1] << " " << c.estimates[2];
    }
}

TEST_F(FmsStage, WholeBlocksConsumeTwoOrThreeEstimatesPerBit) {
    Ring(std::vector<double>(200, 1800.0), 1000);
    fms.FmsSliceTelegram();
    EXPECT_EQ(fms.FreqRead, (1000 + 144) % 1024);
    for (auto b : fms.TelegramBits) EXPECT_EQ(b, 0);
    Ring(std::vector<double>(200, 1200.0), 1000);
    fms.FmsSliceTelegram();
    EXPECT_EQ(fms.FreqRead, (1000 + 96) % 1024);
    for (auto b : fms.TelegramBits) EXPECT_EQ(b, 1);
}

TEST_F(FmsStage, SlicingWithALimitStopsAtIt) {
    // 20 bits of 1200 Hz, then a break: bit 20 on is undecided, nothing past is read.
    std::vector<double> v(40, 1200.0);
    v.resize(200, 1800.0);
    Ring(v);
    fms.FmsSliceTelegram(41);
    for (int k = 0; k < 20; ++k) EXPECT_EQ(fms.TelegramBits[static_cast<std::size_t>(k)], 1) << k;
    for (int k = 20; k < 48; ++k) EXPECT_EQ(fms.TelegramBits[static_cast<std::size_t>(k)], 2) << k;
    EXPECT_EQ(fms.FreqRead, 41);
    // A "0" needs three estimates before the limit, a "1" two.
    Ring({1800, 1800, 1800, 1200, 1200, 1800, 1800, 1800});
    fms.FmsSliceTelegram(7);
    EXPECT_EQ(fms.TelegramBits[0], 0);
    EXPECT_EQ(fms.TelegramBits[1], 1);
    EXPECT_EQ(fms.TelegramBits[2], 2);
}

// ----- the driver -----

TEST_F(FmsStage, TelegramStateSlicesOnlyWithMoreThan160Unread) {
    fms.SetGapBreak(false);
    ctx.SampleBlock.fill(1000.0);  // no crossings: the block brings no estimate
    fms.PrevSample = 1000.0;
    const std::vector<int> bits =
        FieldBits({{6, 4}, {3, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}, {5, 4}, {6, 4}, {2, 4}, {0, 1}, {0, 1}, {1, 2}, {0, 8}});
    std::vector<double> v = Estimates(bits);
    v.resize(160, 1200.0);
    fms.FmsState = fsTelegram;
    Ring(v);
    fms.FmsProcessBlock();
    EXPECT_EQ(fms.FmsState, fsTelegram);
    EXPECT_EQ(fms.FreqRead, 0);
    EXPECT_EQ(ctx.MessageText, "");
    EXPECT_EQ(ctx.ActivityLine.Get(), "FMS");

    v.push_back(1200.0);
    Ring(v);
    fms.FmsProcessBlock();
    EXPECT_EQ(ctx.MessageText, "14:03:07\tFeuerwehr\tBay I\t12\t3456\t2\t0\tF>L\tII\t\t\r\n");
    EXPECT_EQ(fms.BlockCount, 1);
}

TEST_F(FmsStage, SilenceAfterTheLastBlockEndsTheTransmission) {
    // An open follow-on line and a few estimates left: then a gap without
    // crossings. The line is closed in the same block, and the state is 0.
    ctx.SampleBlock.fill(1000.0);
    fms.PrevSample = 1000.0;
    fms.FmsState = fsTelegram;
    fms.BlockCount = 2;
    Ring(std::vector<double>(30, 1200.0));
    fms.FmsProcessBlock();
    EXPECT_EQ(fms.FmsState, fsSearchPreamble);
    EXPECT_EQ(ctx.MessageText, "\r\n");
    EXPECT_EQ(fms.FreqRead, 30);

    // Switched off, the decoder waits through the same gap.
    FmsDecoder literal(ctx);
    literal.SetGapBreak(false);
    literal.PrevSample = 1000.0;
    literal.FmsState = fsTelegram;
    literal.BlockCount = 2;
    literal.FreqWrite = 30;
    literal.FmsProcessBlock();
    EXPECT_EQ(literal.FmsState, fsTelegram);
}

TEST_F(FmsStage, BreakIsMarkedBeforeTheFirstEstimateAfterIt) {
    // 1200 Hz, 40 samples of constant level, 1200 Hz again.
    Tone(1200.0, 5000.0);
    for (std::size_t i = 300; i < 340; ++i) fms.FmsBlock[i] = fms.FmsBlock[299] > 0 ? 700.0 : -700.0;
    fms.FmsTrackFrequency();
    std::int32_t marks = 0;
    std::int32_t marked = -1;
    for (std::int32_t j = 0; j < fms.FreqWrite; ++j)
        if (fms.BreakBefore[static_cast<std::size_t>(j)] != 0) {
            ++marks;
            marked = j;
        }
    ASSERT_EQ(marks, 1);
    EXPECT_LT(fms.FreqRing[static_cast<std::size_t>(marked)], 400.0);  // the estimate spanning the gap
    EXPECT_GT(fms.FreqRing[static_cast<std::size_t>(marked - 1)], 1100.0);
    EXPECT_EQ(fms.FmsBreakDistance(), marked);
    EXPECT_FALSE(fms.BreakAtWrite);

    // 18 samples without a crossing (two bit periods are 18.375) are no break.
    FmsDecoder d(ctx);
    d.PrevSample = 1.0;
    d.FmsBlock.fill(1.0);
    for (std::size_t i = 18; i < d.FmsBlock.size(); ++i) d.FmsBlock[i] = (i % 2 == 0) ? -1.0 : 1.0;
    d.FmsTrackFrequency();
    for (std::int32_t j = 0; j < d.FreqWrite; ++j) EXPECT_EQ(d.BreakBefore[static_cast<std::size_t>(j)], 0) << j;
    d.FmsBlock.fill(1.0);
    d.FmsBlock[0] = -1.0;
    d.FmsTrackFrequency();
    EXPECT_TRUE(d.BreakAtWrite);
    d.FreqRead = d.FreqWrite;
    EXPECT_EQ(d.FmsBreakDistance(), 0);
}

TEST_F(FmsStage, PreambleCutShortByABreakIsDropped) {
    fms.FmsState = fsPreambleFound;
    Ring(std::vector<double>(40, 1200.0), 500);
    fms.BreakAtWrite = true;
    ctx.SampleBlock.fill(1000.0);
    fms.PrevSample = 1000.0;
    fms.FmsProcessBlock();
    EXPECT_EQ(fms.FmsState, fsSearchPreamble);
    EXPECT_EQ(fms.FreqRead, 540);
}

// ----- writer -----

TEST_F(FmsStage, BitFieldReadsLeastSignificantBitFirst) {
    Bits({1, 2, 5, 7, 36, 47});
    EXPECT_EQ(fms.FmsBitField(0, 3), 6);
    EXPECT_EQ(fms.FmsBitField(4, 7), 10);
    EXPECT_EQ(fms.FmsBitField(1, 1), 1);
    EXPECT_EQ(fms.FmsBitField(0, 0), 0);
    EXPECT_EQ(fms.FmsBitField(3, 2), 0);
    EXPECT_EQ(fms.FmsBitField(36, 36), 1);
    EXPECT_EQ(fms.FmsBitField(40, 47), 128);
    EXPECT_EQ(fms.FmsBitField(0, 15), 2 + 4 + 32 + 128);
}

TEST_F(FmsStage, FieldTextsByCode) {
    // Organisation 0, Land 2, location A 0, vehicle F 0 0 1, status E, build 1,
    // direction 1, tactical 0; follow-on view: number in bits 1-6.
    const std::vector<int> bits =
        FieldBits({{0, 4}, {2, 4}, {10, 4}, {0, 4}, {15, 4}, {0, 4}, {0, 4}, {1, 4}, {14, 4}, {1, 1}, {1, 1}, {0, 2}});
    fms.TelegramBits.fill(0);
    for (std::size_t k = 0; k < bits.size(); ++k) fms.TelegramBits[k] = static_cast<std::uint8_t>(bits[k]);
    std::vector<std::string> texts;
    for (int code : {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 13}) {
        std::string s;
        FmsFieldText(fms.TelegramBits, 0, code, s);
        texts.push_back(s);
    }
    const std::vector<std::string> expected = {"Fehler", "Bad-W\xFCrt", "A0", "F001", "E", "1", "L>F", " I", "", "", ""};
    EXPECT_EQ(texts, expected);
    std::string s;
    FmsFieldText(fms.TelegramBits, 1, 12, s);  // bits 1-6 = 0b010000 (16) doubled
    EXPECT_EQ(s, "32\t");
    s.clear();
    FmsFieldText(fms.TelegramBits, 8, 14, s);  // bits 8-14: A (1010) and 000 -> control byte 10
    EXPECT_EQ(s, std::string(1, '\n'));
}

TEST_F(FmsStage, WriterErrorTexts) {
    struct Case {
        std::int32_t blockCount;
        std::vector<int> undecided;
        std::string text;
        std::int32_t state;
        std::int32_t blockCountAfter;
    };
    const std::string fields = "Fehler\tSachsen\t00\t0000\t0\t0\tF>L\t I\t\t";
    const std::vector<Case> cases = {
        {0, {39, 45}, "14:03:07\t Fehler im Datenteil im Bit: 40\r\n", fsSearchPreamble, 0},
        {0, {0}, "14:03:07\t Fehler im Datenteil im Bit: 1\r\n", fsSearchPreamble, 0},
        {0, {40, 44}, "14:03:07\t" + fields + " Fehler im Redundanzteil im Bit: 41\r\n", fsTelegram, 1},
        {0, {47}, "14:03:07\t" + fields + " Fehler im Redundanzteil im Bit: 48\r\n", fsTelegram, 1},
        {1, {3}, "", fsSearchPreamble, 1},
        {2, {3}, "\r\n", fsSearchPreamble, 2},
        {1, {}, std::string("0\t\0\0\0", 5), fsTelegram, 2},
        {2, {41}, std::string("\0\0\0\0", 4) + " Fehler im Redundanzteil im Bit: 42", fsTelegram, 2},
    };
    for (const Case& c : cases) {
        ctx.MessageText.clear();
        fms.FmsState = fsTelegram;
        fms.BlockCount = c.blockCount;
        Bits({}, c.undecided);
        fms.FmsWriteTelegram();
        EXPECT_EQ(ctx.MessageText, c.text) << c.blockCount << " " << (c.undecided.empty() ? -1 : c.undecided[0]);
        EXPECT_EQ(fms.FmsState, c.state);
        EXPECT_EQ(fms.BlockCount, c.blockCountAfter);
    }
}

// ----- generator -----

TEST(FmsGenerator, StatusBitsCarryEveryField) {
    gen::FmsStatusTelegram t;
    t.organisation = 9;
    t.land = 14;
    t.location = {0xA, 7};
    t.vehicle = {1, 0xF, 0, 8};
    t.status = 0xC;
    t.buildStage = 1;
    t.direction = 1;
    t.tactical = 2;
    const gen::FmsBlockBits bits = gen::FmsStatusBits(t);
    auto field = [&](int a, int w) {
        int v = 0;
        for (int k = 0; k < w; ++k) v |= bits[static_cast<std::size_t>(a + k)] << k;
        return v;
    };
    EXPECT_EQ(field(0, 4), 9);
    EXPECT_EQ(field(4, 4), 14);
    EXPECT_EQ(field(8, 4), 0xA);
    EXPECT_EQ(field(12, 4), 7);
    EXPECT_EQ(field(16, 4), 1);
    EXPECT_EQ(field(20, 4), 0xF);
    EXPECT_EQ(field(24, 4), 0);
    EXPECT_EQ(field(28, 4), 8);
    EXPECT_EQ(field(32, 4), 0xC);
    EXPECT_EQ(field(36, 1), 1);
    EXPECT_EQ(field(37, 1), 1);
    EXPECT_EQ(field(38, 2), 2);
    EXPECT_EQ(bits[47], 0);
}

TEST(FmsGenerator, CheckPartDetectsEverySingleAndDoubleBitError) {
    gen::FmsStatusTelegram t;
    const gen::FmsBlockBits good = gen::FmsStatusBits(t);
    ASSERT_EQ(gen::FmsSyndrome(good), 0u);
    for (int a = 0; a < 47; ++a) {
        gen::FmsBlockBits bad = good;
        bad[static_cast<std::size_t>(a)] ^= 1;
        EXPECT_NE(gen::FmsSyndrome(bad), 0u) << a;
        for (int b = a + 1; b < 47; ++b) {
            gen::FmsBlockBits worse = bad;
            worse[static_cast<std::size_t>(b)] ^= 1;
            // x^7 + x^6 + x^2 + 1 = (x + 1)(x^6 + x + 1), and x^6 + x + 1 is
            // primitive: period 63 > 47 bits.
            EXPECT_NE(gen::FmsSyndrome(worse), 0u) << a << "," << b;
        }
    }
    // Check bits of a single data bit: the remainder of x^(46 - k) by the generator.
    gen::FmsBlockBits one{};
    one[39] = 1;  // x^7 mod g = x^6 + x^2 + 1
    const auto check = gen::FmsCheckBits(one);
    const std::array<std::uint8_t, 7> expected = {1, 0, 0, 0, 1, 0, 1};
    EXPECT_EQ(check, expected);
    // The worked example telegram: organisation 6, Land 3, location 12, vehicle
    // 3456, status 2, build stage, direction and tactical information 0.
    gen::FmsStatusTelegram example;
    example.tactical = 0;
    const char* sent = "0110110010000100110000101010011001000000" "0110110" "0";
    const gen::FmsBlockBits bits = gen::FmsStatusBits(example);
    for (std::size_t k = 0; k < 48; ++k) EXPECT_EQ(bits[k], sent[k] - '0') << k;
    // The decoder's check agrees with the generator's on it, and fails a change.
    EXPECT_EQ(FmsCheckOf(bits), FmsCheck::Ok);
    gen::FmsBlockBits changed = bits;
    changed[45] ^= 1;
    EXPECT_EQ(FmsCheckOf(changed), FmsCheck::Failed);
}

TEST(FmsGenerator, TextBlocksPackNumberAndCharacters) {
    const auto blocks = gen::FmsTextBlocks(23, "ABCDEFG");
    ASSERT_EQ(blocks.size(), 2u);
    auto field = [](const gen::FmsBlockBits& b, int a, int w) {
        int v = 0;
        for (int k = 0; k < w; ++k) v |= b[static_cast<std::size_t>(a + k)] << k;
        return v;
    };
    EXPECT_EQ(field(blocks[0], 1, 6), 23);
    EXPECT_EQ(field(blocks[0], 8, 7), 'A');
    EXPECT_EQ(field(blocks[0], 16, 7), 'B');
    EXPECT_EQ(field(blocks[0], 24, 7), 'C');
    EXPECT_EQ(field(blocks[1], 0, 7), 'D');
    EXPECT_EQ(field(blocks[1], 24, 7), 'G');
    for (const auto& b : blocks) EXPECT_EQ(gen::FmsSyndrome(b), 0u);
    const auto padded = gen::FmsTextBlocks(0, "ABCDE");
    ASSERT_EQ(padded.size(), 2u);
    EXPECT_EQ(field(padded[1], 8, 7), 'E');
    EXPECT_EQ(field(padded[1], 16, 7), ' ');
    EXPECT_EQ(gen::FmsTextBlocks(0, "").size(), 1u);
}

TEST(FmsGenerator, TransmissionOrderAndWaveform) {
    gen::FmsTransmission tx;
    tx.preambleBits = 12;
    tx.tailBits = 2;
    const auto bits = gen::FmsTransmissionBits(tx);
    ASSERT_EQ(bits.size(), 12u + 8u + 48u + 2u);
    const std::vector<std::uint8_t> sync(bits.begin() + 12, bits.begin() + 20);
    EXPECT_EQ(sync, (std::vector<std::uint8_t>{0, 0, 0, 1, 1, 0, 1, 0}));

    const auto wave = gen::FmsWaveform(bits, 10000.0, 11025);
    EXPECT_EQ(wave.size(), static_cast<std::size_t>(std::ceil(70.0 * 11025.0 / 1200.0)));
    double peak = 0.0;
    for (double x : wave) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, 10000.0, 60.0);
    EXPECT_LE(peak, 10000.0);
    // Continuous phase: no jump between neighbouring samples beyond what 1800 Hz allows.
    for (std::size_t i = 1; i < wave.size(); ++i)
        EXPECT_LE(std::fabs(wave[i] - wave[i - 1]), 10000.0 * 2.0 * std::numbers::pi * 1800.0 / 11025.0) << i;
    // Half-cycles per bit: count sign changes of the whole signal: 2 per "1", 3 per "0".
    int expected = 0;
    for (auto b : bits) expected += b != 0 ? 2 : 3;
    int changes = 0;
    for (std::size_t i = 1; i < wave.size(); ++i)
        if ((wave[i] > 0.0) != (wave[i - 1] > 0.0) && std::fabs(wave[i]) > 1e-6) ++changes;
    EXPECT_NEAR(changes, expected, 1);
}

}  // namespace
}  // namespace quorvel
