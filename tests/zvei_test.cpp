// The five-tone decoder's stages one at a time: tone detection on chosen blocks,
// the collector on chosen analysis steps, the tables and the line.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "core/zvei.h"
#include "render/text_renderer.h"

namespace quorvel {
namespace {

struct Rig {
    FixedClock clock{DateTime{2024, 5, 6, 14, 3, 7}};
    SharedContext ctx{clock};
    TextRenderer text{ctx};
    ZveiDecoder zvei{ctx};
    std::vector<double> steps;  // every step written, in order

    // Run the three detection stages on one block and record the new steps.
    void Detect(const SampleArray& block) {
        ctx.SampleBlock = block;
        const std::int32_t from = zvei.state.StepWrite;
        zvei.ZveiRemoveDc();
        zvei.ZveiTrackFrequency();
        zvei.ZveiMakeSteps();
        for (std::int32_t w = from; w != zvei.state.StepWrite; w = (w + 1) % zvei::StepRingSize)
            steps.push_back(zvei.state.StepRing[w]);
    }
};

SampleArray SineBlock(double frequency, double amplitude, std::int64_t start) {
    SampleArray b{};
    for (std::int32_t n = 0; n < FramesPerBlock; ++n) {
        const double t = static_cast<double>(start + n) / 11025.0;
        b[n] = std::nearbyint(amplitude * std::sin(2.0 * std::numbers::pi * frequency * t));
    }
    return b;
}

TEST(ZveiDetection, SteadySineGivesItsFrequencyFromTheThirdStep) {
    Rig rig;
    for (int k = 0; k < 6; ++k) rig.Detect(SineBlock(1060.0, 10000.0, k * FramesPerBlock));
    ASSERT_EQ(rig.steps.size(), 11u + 10u + 10u + 10u + 11u + 10u);
    for (std::size_t i = 2; i < rig.steps.size(); ++i) {
        EXPECT_NEAR(rig.steps[i], 1060.0, 2.0) << "step " << i;
    }
}

TEST(ZveiDetection, SilenceGivesTheNoToneMark) {
    Rig rig;
    for (int k = 0; k < 20; ++k) rig.Detect(SampleArray{});
    ASSERT_EQ(rig.steps.size(), 205u);
    for (std::size_t i = 0; i < rig.steps.size(); ++i) EXPECT_EQ(rig.steps[i], 1.0) << "step " << i;
    // The dither alone makes crossings: the track is anything but steady.
    EXPECT_GT(rig.zvei.state.MeanChange, 0.05 * rig.zvei.state.MeanFrequency);
}

TEST(ZveiDetection, FirstDitheredSampleBelowZeroIsAFallingCrossingAt11025Hz) {
    Rig rig;
    rig.ctx.SampleBlock = SampleArray{};
    rig.zvei.ZveiRemoveDc();
    rig.zvei.ZveiTrackFrequency();
    // The first draw is 1/2^32, so the first dithered sample is just below zero.
    EXPECT_EQ(rig.zvei.state.ZveiWork[0], 11025.0);
}

TEST(ZveiDetection, StepsLieOnOneGridAcrossBlocks) {
    Rig rig;
    rig.Detect(SampleArray{});
    EXPECT_EQ(rig.steps.size(), 11u);  // samples 0, 100, ..., 1000
    rig.Detect(SampleArray{});
    EXPECT_EQ(rig.steps.size(), 21u);  // samples 76, 176, ..., 976
    EXPECT_EQ(rig.zvei.state.StepPhase, 48);
}

// The same front end written as one pass over a continuous signal, with its own
// copy of the generator: the block-wise decoder must give the same steps, bit for
// bit, whatever the block boundaries cut through.
std::vector<double> OnePassSteps(const std::vector<double>& x) {
    std::uint32_t seed = 0;
    double dc = 0, prev = 0, rise = 0, fall = 0, freq = 0, meanF = 0, meanC = 0, prevT = 0;
    std::vector<double> fh(100, 0.0), ch(100, 0.0), steps;
    for (std::size_t n = 0; n < x.size(); ++n) {
        dc = 0.01 * x[n] + 0.99 * dc;
        const double w = x[n] - dc;
        seed = seed * 134775813u + 1u;
        const double z = (static_cast<double>(seed) / 4294967296.0 + w) - 0.5;
        if (z >= 0 && prev < 0) {
            const double d = std::max(z - prev, 1.0), e = -prev / d;
            freq = 11025.0 / (rise - 1 + e);
            rise = 1 - e;
        } else if (prev >= 0 && z < 0) {
            const double d = std::max(prev - z, 1.0), e = prev / d;
            freq = -(11025.0 / (fall - 1 + e));
            fall = 1 - e;
        }
        prev = z;
        rise += 1;
        fall += 1;
        const double t = std::fabs(freq);
        const std::size_t h = n % 100;
        meanF += (t - fh[h]) / 100;
        fh[h] = t;
        const double c = std::fabs(t - prevT);
        meanC += (c - ch[h]) / 100;
        ch[h] = c;
        prevT = t;
        if (n % 100 == 0) {
            if (meanF < 1.0) meanF = 1.0;
            steps.push_back(meanC / meanF <= 0.05 ? meanF : 1.0);
        }
    }
    return steps;
}

TEST(ZveiDetection, BlockBoundariesChangeNothing) {
    // Tones that change in the middle of blocks, a quiet stretch and a DC step.
    std::vector<double> x;
    const double freqs[] = {1060.0, 1400.0, 2600.0, 970.0};
    for (int k = 0; k < 8 * FramesPerBlock; ++k) {
        const double f = freqs[(k / 700) % 4];
        const double quiet = (k > 4000 && k < 4500) ? 0.0 : 1.0;
        x.push_back(std::nearbyint(quiet * 8000.0 * std::sin(2.0 * std::numbers::pi * f * k / 11025.0)) +
                    (k > 6000 ? 1500.0 : 0.0));
    }
    Rig rig;
    for (int b = 0; b < 8; ++b) {
        SampleArray block;
        for (int n = 0; n < FramesPerBlock; ++n) block[n] = x[b * FramesPerBlock + n];
        rig.Detect(block);
    }
    const std::vector<double> expected = OnePassSteps(x);
    ASSERT_EQ(rig.steps.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(rig.steps[i], expected[i]) << "step " << i;
    int tones = 0;
    for (double s : expected) tones += s > 1.0;
    EXPECT_GT(tones, 40);  // the comparison covers tones, not only marks
}

TEST(ZveiDetection, OnePassFrontEndEqualsTheThreeStages) {
    Rig staged, fused;
    for (int b = 0; b < 12; ++b) {
        const SampleArray block = SineBlock(b % 3 == 0 ? 1400.0 : 2600.0, b % 4 == 0 ? 0.0 : 6000.0, b * FramesPerBlock);
        staged.Detect(block);
        fused.ctx.SampleBlock = block;
        fused.zvei.ZveiFrontEndBlock();
        ASSERT_EQ(fused.zvei.state.ZveiWork, staged.zvei.state.ZveiWork) << b;
    }
    EXPECT_EQ(fused.zvei.state.StepRing, staged.zvei.state.StepRing);
    EXPECT_EQ(fused.zvei.state.StepWrite, staged.zvei.state.StepWrite);
    EXPECT_EQ(fused.zvei.state.MeanChange, staged.zvei.state.MeanChange);
    EXPECT_EQ(fused.ctx.random.Seed(), staged.ctx.random.Seed());
}

TEST(ZveiDetection, SteadinessLimitIsFivePercentInclusive) {
    for (const double change : {50.0, 50.001}) {
        Rig rig;
        ZveiState& s = rig.zvei.state;
        // A flat zero track leaves both running means where they are.
        s.MeanFrequency = 1000.0;
        s.MeanChange = change;
        s.ZveiWork.fill(0.0);
        rig.zvei.ZveiMakeSteps();
        EXPECT_EQ(s.StepRing[0], change == 50.0 ? 1000.0 : 1.0) << change;
    }
}

TEST(ZveiDetection, MeanBelowOneIsRaisedAndTheRaiseStays) {
    Rig rig;
    ZveiState& s = rig.zvei.state;
    s.MeanFrequency = 0.25;
    s.MeanChange = 0.0;
    s.ZveiWork.fill(0.0);
    rig.zvei.ZveiMakeSteps();
    EXPECT_EQ(s.StepRing[0], 1.0);
    EXPECT_EQ(s.MeanFrequency, 1.0);  // carried forward from the raised value
    EXPECT_EQ(s.StepWrite, 11);
}

TEST(ZveiDetection, EmptyFirstCrossingIntervalKeepsTheMeansFinite) {
    // Just after the first sample, which was exactly zero: a falling crossing at
    // the very next sample has no interval at all.
    Rig rig;
    ZveiState& s = rig.zvei.state;
    s.ZveiPrevSample = 0.0;
    s.FallDistance = 1.0;
    s.RiseDistance = 1.0;
    SampleArray block = SineBlock(1060.0, 10000.0, 0);
    block[0] = -5000.0;
    rig.Detect(block);
    EXPECT_EQ(s.ZveiWork[0], 11025.0);
    EXPECT_TRUE(std::isfinite(s.MeanFrequency));
    EXPECT_TRUE(std::isfinite(s.MeanChange));
    for (int k = 1; k < 4; ++k) rig.Detect(SineBlock(1060.0, 10000.0, k * FramesPerBlock));
    // The detector keeps working: the tone is measured.
    EXPECT_NEAR(rig.steps.back(), 1060.0, 2.0);
}

// --- The collector, fed with chosen steps -------------------------------------

struct CollectorRig : Rig {
    // Write steps into the ring as the detector would, then collect, in chunks
    // of at most `chunk` steps as blocks deliver them.
    void Feed(const std::vector<double>& values, int chunk = 10) {
        for (std::size_t i = 0; i < values.size(); i += chunk) {
            for (std::size_t j = i; j < values.size() && j < i + chunk; ++j) {
                zvei.state.StepRing[zvei.state.StepWrite] = values[j];
                zvei.state.StepWrite = (zvei.state.StepWrite + 1) % zvei::StepRingSize;
            }
            zvei.ZveiCollectTones();
            if (zvei.state.ToneCount == 5) return;
        }
    }
};

// A tone of `pairs` steady pairs: pairs + 1 steps, each 0.1 Hz above the last,
// so that the step a tone is taken from can be told.
std::vector<double> Tone(double f, int pairs) {
    std::vector<double> v;
    for (int k = 0; k <= pairs; ++k) v.push_back(f + 0.1 * k);
    return v;
}

std::vector<double> Marks(int count) { return std::vector<double>(count, 1.0); }

std::vector<double> Join(std::initializer_list<std::vector<double>> parts) {
    std::vector<double> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(ZveiCollector, AcceptsRunsWithinTheLimitsAndTakesTheRightSteps) {
    CollectorRig rig;
    rig.Feed(Join({Marks(3), Tone(1060, 5), Marks(1), Tone(1160, 9), Marks(1), Tone(1270, 6), Marks(1),
                   Tone(1400, 7), Marks(1), Tone(1530, 30), Marks(4)}));
    const ZveiState& s = rig.zvei.state;
    ASSERT_EQ(s.ToneCount, 5);
    // The first four: the third step before the last of the run.
    EXPECT_DOUBLE_EQ(s.ToneFreqs[0], 1060 + 0.1 * 2);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[1], 1160 + 0.1 * 6);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[2], 1270 + 0.1 * 3);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[3], 1400 + 0.1 * 4);
    // The fifth: the third step after the first of the run.
    EXPECT_DOUBLE_EQ(s.ToneFreqs[4], 1530 + 0.1 * 3);
}

TEST(ZveiCollector, RunLengthLimitsDependOnThePosition) {
    // Limits 4 and 10: 10 pairs is too long for tones one to four but fine for
    // the fifth; 4 pairs is too short anywhere.
    CollectorRig rig;
    rig.Feed(Join({Marks(2), Tone(1060, 10), Marks(1), Tone(1160, 4), Marks(1), Tone(1270, 5), Marks(1),
                   Tone(1400, 5), Marks(1), Tone(1530, 5), Marks(1), Tone(1670, 4), Marks(1), Tone(1830, 5), Marks(1),
                   Tone(2000, 10), Marks(3)}));
    const ZveiState& s = rig.zvei.state;
    ASSERT_EQ(s.ToneCount, 5);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[0], 1270.2);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[3], 1830.2);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[4], 2000.3);
}

TEST(ZveiCollector, CcirLimitsNeedLongerRuns) {
    CollectorRig rig;
    rig.ctx.settings.SelectToneTable(3);
    rig.Feed(Join({Marks(2), Tone(1124, 7), Marks(1), Tone(1197, 8), Marks(1), Tone(1275, 14), Marks(1),
                   Tone(1358, 15), Marks(1)}));
    const ZveiState& s = rig.zvei.state;
    EXPECT_EQ(s.ToneCount, 2);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[0], 1197.5);
    EXPECT_DOUBLE_EQ(s.ToneFreqs[1], 1276.1);
}

TEST(ZveiCollector, SixUnsteadyPairsDiscardAPartialSequenceFiveDoNot) {
    for (const int gapPairs : {5, 6}) {
        CollectorRig rig;
        // A mark between two runs makes two unsteady pairs; each further mark one more.
        rig.Feed(Join({Marks(2), Tone(1060, 6), Marks(1), Tone(1160, 6), Marks(gapPairs - 1), Tone(1270, 6)}));
        EXPECT_EQ(rig.zvei.state.UnsteadyRun, 0);
        EXPECT_EQ(rig.zvei.state.ToneCount, gapPairs == 5 ? 2 : 0) << gapPairs;
        if (gapPairs == 6) {
            EXPECT_EQ(rig.zvei.state.ToneFreqs[0], 0.0);
        }
    }
}

TEST(ZveiCollector, AnOverlongRunInBetweenKeepsTheCollectedTones) {
    CollectorRig rig;
    rig.Feed(Join({Marks(2), Tone(1060, 6), Marks(1), Tone(1160, 6), Marks(1), Tone(2800, 200), Marks(1),
                   Tone(1270, 6), Marks(1), Tone(1400, 6), Marks(1), Tone(1530, 6), Marks(2)}));
    ASSERT_EQ(rig.zvei.state.ToneCount, 5);
    EXPECT_DOUBLE_EQ(rig.zvei.state.ToneFreqs[2], 1270.3);
}

TEST(ZveiCollector, ChangeOfExactlyOnePercentEndsARunWithoutATone) {
    CollectorRig rig;
    // 99 -> 101: |101 - 99| / 200 is exactly 0.01.
    std::vector<double> steps = Join({Marks(2), std::vector<double>(7, 99.0), {101.0, 101.0}});
    rig.Feed(steps);
    EXPECT_EQ(rig.zvei.state.ToneCount, 0);
    EXPECT_EQ(rig.zvei.state.SteadyRun, 1);  // 101 -> 101 started a new run
    EXPECT_EQ(rig.zvei.state.UnsteadyRun, 0);
}

TEST(ZveiCollector, StopsAfterTheFifthToneAndLeavesTheRestUnread) {
    CollectorRig rig;
    const std::vector<double> one = Join({Marks(2), Tone(1060, 6), Marks(1), Tone(1160, 6), Marks(1), Tone(1270, 6),
                                          Marks(1), Tone(1400, 6), Marks(1), Tone(1530, 6), Marks(1)});
    const std::vector<double> steps = Join({one, one});
    ZveiState& s = rig.zvei.state;
    for (double v : steps) {
        s.StepRing[s.StepWrite] = v;
        s.StepWrite = (s.StepWrite + 1) % zvei::StepRingSize;
    }
    rig.zvei.ZveiCollectTones();
    ASSERT_EQ(s.ToneCount, 5);
    // The pair that ended the fifth run was the last one examined.
    EXPECT_EQ(s.StepRead, static_cast<std::int32_t>(one.size()) - 1);
    rig.zvei.ZveiWriteSequence(0);
    rig.zvei.ZveiCollectTones();
    EXPECT_EQ(s.ToneCount, 5);
    rig.zvei.ZveiWriteSequence(0);
    EXPECT_EQ(rig.ctx.MessageText, "14:03:07\tZVEI: 12345\r\n14:03:07\tZVEI: 12345\r\n");
}

TEST(ZveiCollector, FifthToneLongerThanTheRingIsTakenFromItsOwnRun) {
    // Whatever the length, the fifth tone's value must come from its own run:
    // the fourth step when the ring still holds it, else the oldest one held.
    for (int pairs = 230; pairs <= 300; ++pairs) {
        CollectorRig rig;
        rig.Feed(Join({Marks(2), Tone(1060, 6), Marks(1), Tone(1160, 6), Marks(1), Tone(1270, 6), Marks(1),
                       Tone(1400, 6), Marks(1), Tone(2000, pairs), Marks(3)}));
        const ZveiState& s = rig.zvei.state;
        ASSERT_EQ(s.ToneCount, 5) << pairs;
        const double f = s.ToneFreqs[4];
        EXPECT_GE(f, 2000.0 + 0.1 * 3 - 1e-9) << pairs;
        EXPECT_LE(f, 2000.0 + 0.1 * pairs + 1e-9) << pairs;
        if (pairs < 240) {
            EXPECT_DOUBLE_EQ(f, 2000.3) << pairs;
        }
    }
}

TEST(ZveiCollector, RunCountersDoNotWrap) {
    CollectorRig rig;
    ZveiState& s = rig.zvei.state;
    s.SteadyRun = std::numeric_limits<std::int32_t>::max();
    rig.Feed({1000.0, 1000.0, 1000.0});
    EXPECT_EQ(s.SteadyRun, std::numeric_limits<std::int32_t>::max());

    s.ToneCount = 2;
    s.ToneFreqs = {1060.0, 1160.0, 0.0, 0.0, 0.0};
    s.UnsteadyRun = std::numeric_limits<std::int32_t>::max();
    s.SteadyRun = 0;
    rig.Feed({1.0, 1.0});
    EXPECT_EQ(s.UnsteadyRun, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(s.ToneCount, 0);  // still a gap
}

// --- Tables and the line -------------------------------------------------------

TEST(ZveiTables, ToneMatchesIsStrictlyUnderTwoAndAHalfPercent) {
    EXPECT_FALSE(zvei::ToneMatches(1000, 1025));
    EXPECT_TRUE(zvei::ToneMatches(1000, 1024));
    EXPECT_FALSE(zvei::ToneMatches(1000, 975));
    EXPECT_TRUE(zvei::ToneMatches(1000, 976));
    EXPECT_FALSE(zvei::ToneMatches(1160, 1189));  // exactly 29 / 1160
    EXPECT_TRUE(zvei::ToneMatches(1160, 1188));
}

TEST(ZveiTables, SizesNamesAndPrefixes) {
    const int sizes[] = {18, 17, 15, 17};
    const char* prefixes[] = {"ZVEI: ", "ZVEI wide: ", "ZVEI narrow: ", "CCIR: "};
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(zvei::Table(t).entryCount, sizes[t]);
        EXPECT_EQ(zvei::Table(t).prefix, prefixes[t]);
    }
}

std::string Name(int table, double m) {
    const zvei::ToneEntry* e = zvei::MatchTone(zvei::Table(table), m);
    return e ? std::string(e->text) : std::string("-");
}

TEST(ZveiTables, OverlappingWindowsOfZveiNormalGoByOrder) {
    EXPECT_EQ(Name(0, 1709), "6");
    EXPECT_EQ(Name(0, 1790), "7");
    EXPECT_EQ(Name(0, 1880), "L");
    for (int m = 1707; m <= 1711; ++m) EXPECT_EQ(Name(0, m), "6") << m;
    EXPECT_EQ(Name(0, 1712), "U");
    for (int m = 1785; m <= 1793; ++m) EXPECT_EQ(Name(0, m), "7") << m;
    for (int m = 1814; m <= 1875; ++m) EXPECT_EQ(Name(0, m), "7") << m;
    EXPECT_EQ(Name(0, 1876), "L");
    for (int m = 2146; m <= 2188; ++m) EXPECT_EQ(Name(0, m), "9") << m;
    for (int m = 2224; m <= 2254; ++m) EXPECT_EQ(Name(0, m), "9") << m;
    EXPECT_EQ(Name(0, 2255), "P");
}

TEST(ZveiTables, SameFrequencyDifferentTables) {
    EXPECT_EQ(Name(0, 2800), "Gr");
    EXPECT_EQ(Name(1, 2800), "G");
    EXPECT_EQ(Name(1, 970), "E");
    EXPECT_EQ(Name(2, 970), "R");
    EXPECT_EQ(Name(0, 970), "-");
    EXPECT_EQ(Name(0, 1000), "-");
    EXPECT_EQ(Name(3, 2400), "E");
    EXPECT_EQ(Name(3, 1055), "D");
}

TEST(ZveiLine, FailedTonesCarryTheirRoundedFrequency) {
    Rig rig;
    ZveiState& s = rig.zvei.state;
    s.ToneFreqs = {1060.2, 3000.4, 2600.0, 1400.0, 1530.0};
    s.ToneCount = 5;
    rig.zvei.ZveiWriteSequence(0);
    EXPECT_EQ(rig.ctx.MessageText, "14:03:07\tZVEI: 1 fail: 3000 R45\r\n");
    EXPECT_EQ(s.ToneCount, 0);
    EXPECT_EQ(s.ToneFreqs[1], 3000.4);  // left as it was

    // Halves go to even: 1086.5 is 1086 (within 2.5 % of 1060), 1087.5 is 1088.
    s.ToneFreqs = {1086.5, 1087.5, 1.0, 1.0, 1.0};
    s.ToneCount = 5;
    rig.ctx.MessageText.clear();
    rig.zvei.ZveiWriteSequence(0);
    EXPECT_EQ(rig.ctx.MessageText, "14:03:07\tZVEI: 1 fail: 1088  fail: 1  fail: 1  fail: 1 \r\n");
}

TEST(ZveiLine, NoTableWritesNothingAndDropsTheTones) {
    Rig rig;
    ZveiState& s = rig.zvei.state;
    s.ToneFreqs = {1060, 1160, 1270, 1400, 1530};
    s.ToneCount = 5;
    rig.zvei.ZveiWriteSequence(-1);
    EXPECT_EQ(rig.ctx.MessageText, "");
    EXPECT_EQ(s.ToneCount, 0);
    EXPECT_EQ(s.ToneFreqs[0], 0.0);
}

}  // namespace
}  // namespace quorvel
