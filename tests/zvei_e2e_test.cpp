// Five-tone sequences from the generator through the whole processing loop
// (conditioning, the ZVEI entry, the text hand-off) with a fixed clock; the text
// must come out byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <regex>
#include <sstream>
#include <vector>

#include "gen/signal.h"
#include "gen/tone_gen.h"
#include "test_support.h"

namespace quorvel {
namespace {

constexpr int kRate = 11025;
const DateTime kTime{2024, 5, 6, 14, 3, 7};

std::vector<double> Silence(double seconds) {
    return std::vector<double>(static_cast<std::size_t>(seconds * kRate + 0.5), 0.0);
}

std::vector<double> Tones(const std::vector<double>& freqs, double toneSeconds, double level = 10000.0) {
    gen::ToneTiming timing;
    timing.toneSeconds = toneSeconds;
    return gen::SynthesizeToneSequences({freqs}, timing, level, kRate).samples;
}

std::vector<double> Join(std::initializer_list<std::vector<double>> parts) {
    std::vector<double> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Quiet lead and tail around the signal.
std::vector<double> Framed(const std::vector<double>& signal, double lead = 0.3, double tail = 0.5) {
    return Join({Silence(lead), signal, Silence(tail)});
}

struct ZveiRig {
    FixedClock clock{kTime};
    StandardEngine engine{clock};

    explicit ZveiRig(int table) {
        engine.ctx.settings.ZveiEnabled.store(true);
        engine.ctx.settings.SelectToneTable(table);
    }
    std::string Decode(const std::vector<double>& samples) {
        const auto pcm = gen::Quantize(samples);
        return testing::DecodeSamples(engine, pcm);
    }
    const ZveiState& State() const { return engine.zvei.state; }
};

std::string Line(const std::string& text) { return "14:03:07\t" + text + "\r\n"; }

std::string DecodeOnce(int table, const std::vector<double>& samples) {
    ZveiRig rig(table);
    return rig.Decode(samples);
}

// The first block boundary at which the decoder holds `count` tones.
std::size_t BlocksUntilTones(int table, const std::vector<double>& samples, int count) {
    ZveiRig probe(table);
    for (std::size_t end = FramesPerBlock; end <= samples.size(); end += FramesPerBlock) {
        probe.Decode(std::vector<double>(samples.begin() + static_cast<std::ptrdiff_t>(end - FramesPerBlock),
                                         samples.begin() + static_cast<std::ptrdiff_t>(end)));
        if (probe.State().ToneCount == count) return end;
    }
    return samples.size();
}

const std::vector<double> kZvei12345{1060, 1160, 1270, 1400, 1530};
const std::vector<double> kCcir12345{1124, 1197, 1275, 1358, 1446};

TEST(ZveiEndToEnd, ZveiNormal12345) {
    ZveiRig rig(0);
    EXPECT_EQ(rig.Decode(Framed(Tones(kZvei12345, 0.070))), Line("ZVEI: 12345"));
    EXPECT_EQ(rig.engine.ctx.ActivityLine.Get(), "ZVEI ");
}

TEST(ZveiEndToEnd, SeventyMillisecondTonesAreTooShortForTheCcirLimits) {
    ZveiRig rig(0);
    rig.engine.ctx.settings.ToneMinRun.store(7);
    rig.engine.ctx.settings.ToneMaxRun.store(15);
    EXPECT_EQ(rig.Decode(Framed(Tones(kZvei12345, 0.070))), "");
    EXPECT_EQ(rig.engine.ctx.ActivityLine.Get(), "");
}

TEST(ZveiEndToEnd, Ccir12345) {
    EXPECT_EQ(DecodeOnce(3, Framed(Tones(kCcir12345, 0.100))), Line("CCIR: 12345"));
}

TEST(ZveiEndToEnd, RepeatToneStaysALetter) {
    EXPECT_EQ(DecodeOnce(0, Framed(Tones({1060, 2600, 1060, 2600, 1060}, 0.070))), Line("ZVEI: 1R1R1"));
    // The generator turns a repeated digit into the repeat tone.
    std::vector<double> f;
    ASSERT_TRUE(gen::ToneFrequencies(3, "11223", true, f));
    EXPECT_EQ(DecodeOnce(3, Framed(Tones(f, 0.100))), Line("CCIR: 1R2R3"));
}

TEST(ZveiEndToEnd, SameToneDifferentTables) {
    const auto gr = Framed(Tones({1060, 2800, 1270, 1400, 1530}, 0.070));
    EXPECT_EQ(DecodeOnce(0, gr), Line("ZVEI: 1Gr345"));
    EXPECT_EQ(DecodeOnce(1, gr), Line("ZVEI wide: 1G345"));
    const auto e = Framed(Tones({1060, 970, 1270, 1400, 1530}, 0.070));
    EXPECT_EQ(DecodeOnce(1, e), Line("ZVEI wide: 1E345"));
    EXPECT_EQ(DecodeOnce(2, e), Line("ZVEI narrow: 1R345"));
    EXPECT_EQ(DecodeOnce(0, e), Line("ZVEI: 1 fail: 970 345"));
    EXPECT_EQ(DecodeOnce(0, Framed(Tones({1000, 1000.0 * 1.3, 1000, 1300, 1000}, 0.070))),
              Line("ZVEI:  fail: 1000 3 fail: 1000 3 fail: 1000 "));
}

TEST(ZveiEndToEnd, LongFifthToneIsReportedWhenItEndsWithTheTimeOfThatBlock) {
    ZveiRig rig(0);
    std::vector<double> all = Framed(Join({Tones({1060, 1160, 1270, 1400}, 0.070), Tones({1530}, 1.0)}));
    // Cut on a block boundary shortly before the fifth tone ends.
    const std::size_t fifthEnds = static_cast<std::size_t>(0.3 * kRate + 0.5) + 4 * 772 + 11025;
    const std::size_t cut = (fifthEnds - 2000) / FramesPerBlock * FramesPerBlock;
    const std::vector<double> first(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<double> rest(all.begin() + static_cast<std::ptrdiff_t>(cut), all.end());
    EXPECT_EQ(rig.Decode(first), "");
    EXPECT_EQ(rig.State().ToneCount, 4);
    rig.clock.Set(DateTime{2024, 5, 6, 14, 3, 9});
    EXPECT_EQ(rig.Decode(rest), "14:03:09\tZVEI: 12345\r\n");
}

TEST(ZveiEndToEnd, TwoSequencesTwoLinesInOrder) {
    gen::ToneTiming timing;
    timing.pauseSeconds = 0.200;
    const auto signal =
        gen::SynthesizeToneSequences({kZvei12345, {1670, 1830, 2000, 2200, 2400}}, timing, 10000.0, kRate);
    EXPECT_EQ(DecodeOnce(0, Framed(signal.samples)), Line("ZVEI: 12345") + Line("ZVEI: 67890"));
}

TEST(ZveiEndToEnd, ShortNoiseBurstKeepsTheTonesLongBurstDiscardsThem) {
    gen::NoiseSource noise(7);
    auto burst = [&](double seconds) {
        std::vector<double> v = Silence(seconds);
        for (double& x : v) x = 8000.0 * noise.Gaussian();
        return v;
    };
    const auto first = Tones({1060, 1160}, 0.070);
    const auto last = Tones({1270, 1400, 1530}, 0.070);
    EXPECT_EQ(DecodeOnce(0, Framed(Join({first, burst(0.020), last}))), Line("ZVEI: 12345"));
    EXPECT_EQ(DecodeOnce(0, Framed(Join({first, burst(0.080), last}))), "");
}

TEST(ZveiEndToEnd, SwitchingOffAndOnKeepsTheCollectedTones) {
    const auto all = Framed(Tones(kZvei12345, 0.070));
    const std::size_t cut = BlocksUntilTones(0, all, 2);
    const std::vector<double> before(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<double> after(all.begin() + static_cast<std::ptrdiff_t>(cut), all.end());
    gen::NoiseSource noise(3);
    std::vector<double> meanwhile = Silence(2.0);
    for (double& x : meanwhile) x = 5000.0 * noise.Gaussian();

    {
        ZveiRig rig(0);
        EXPECT_EQ(rig.Decode(before), "");
        ASSERT_EQ(rig.State().ToneCount, 2);
        rig.engine.ctx.settings.ZveiEnabled.store(false);
        EXPECT_EQ(rig.Decode(meanwhile), "");
        EXPECT_EQ(rig.State().ToneCount, 2);
        rig.engine.ctx.settings.ZveiEnabled.store(true);
        EXPECT_EQ(rig.Decode(after), Line("ZVEI: 12345"));
    }
    {
        // Back on, but a pause comes before the remaining tones: discarded.
        ZveiRig rig(0);
        rig.Decode(before);
        ASSERT_EQ(rig.State().ToneCount, 2);
        rig.engine.ctx.settings.ZveiEnabled.store(false);
        rig.Decode(meanwhile);
        rig.engine.ctx.settings.ZveiEnabled.store(true);
        EXPECT_EQ(rig.Decode(Join({Silence(0.2), Tones({1270, 1400, 1530}, 0.070), Silence(0.5)})), "");
    }
}

TEST(ZveiEndToEnd, TableChosenMidSequenceNamesIt) {
    const auto all = Framed(Tones({1060, 1160, 1270, 1400, 970}, 0.070));
    const std::size_t cut = BlocksUntilTones(0, all, 2);
    const std::vector<double> before(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<double> after(all.begin() + static_cast<std::ptrdiff_t>(cut), all.end());
    {
        ZveiRig rig(0);
        EXPECT_EQ(rig.Decode(before), "");
        rig.engine.ctx.settings.SelectToneTable(1);
        EXPECT_EQ(rig.Decode(after), Line("ZVEI wide: 1234E"));
    }
    {
        // CCIR's limits from the next pair on: the remaining 70 ms tones are too
        // short and the sequence never completes.
        ZveiRig rig(0);
        rig.Decode(before);
        rig.engine.ctx.settings.SelectToneTable(3);
        EXPECT_EQ(rig.Decode(after), "");
    }
    {
        // Typed text in the table box: no table, no line.
        ZveiRig rig(0);
        rig.Decode(before);
        rig.engine.ctx.settings.ZveiTableIndex.store(-1);
        EXPECT_EQ(rig.Decode(after), "");
        EXPECT_EQ(rig.State().ToneCount, 0);
    }
}

TEST(ZveiEndToEnd, LevelsAndDcOffset) {
    for (const double level : {100.0, 300.0, 1000.0, 3000.0, 10000.0, 30000.0}) {
        EXPECT_EQ(DecodeOnce(0, Framed(Tones(kZvei12345, 0.070, level))), Line("ZVEI: 12345")) << level;
        EXPECT_EQ(DecodeOnce(3, Framed(Tones(kCcir12345, 0.100, level))), Line("CCIR: 12345")) << level;
    }
    std::vector<double> offset = Framed(Tones(kZvei12345, 0.070, 8000.0));
    gen::AddOffset(offset, 3000.0);
    EXPECT_EQ(DecodeOnce(0, offset), Line("ZVEI: 12345"));
}

TEST(ZveiEndToEnd, NoiseAloneGivesNoLine) {
    for (const double sigma : {30.0, 1000.0, 10000.0}) {
        gen::NoiseSource noise(11);
        std::vector<double> v = Silence(60.0);
        for (double& x : v) x = sigma * noise.Gaussian();
        EXPECT_EQ(DecodeOnce(0, v), "") << sigma;
        EXPECT_EQ(DecodeOnce(3, v), "") << sigma;
    }
    EXPECT_EQ(DecodeOnce(0, Silence(30.0)), "");
}

// Decoded correctly out of `trials` noisy copies.
int Successes(int table, const std::vector<double>& freqs, double toneSeconds, const std::string& expected,
              double snrDb, int trials) {
    int ok = 0;
    for (int seed = 1; seed <= trials; ++seed) {
        gen::ToneTiming timing;
        timing.toneSeconds = toneSeconds;
        const auto signal = gen::SynthesizeToneSequences({freqs}, timing, 10000.0, kRate);
        std::vector<double> v = Framed(signal.samples);
        gen::AddNoise(v, signal.signalPower, snrDb, static_cast<std::uint64_t>(seed));
        ok += DecodeOnce(table, v) == expected;
    }
    return ok;
}

TEST(ZveiEndToEnd, SignalToNoiseTable) {
    constexpr int kTrials = 20;
    std::ostringstream table;
    table << "SNR dB | ZVEI 12345 ok of " << kTrials << " | CCIR 12345 ok of " << kTrials << "\n";
    for (const double snr : {6.0, 8.0, 10.0, 12.0, 14.0, 17.0, 20.0, 25.0, 30.0, 40.0}) {
        const int zvei = Successes(0, kZvei12345, 0.070, Line("ZVEI: 12345"), snr, kTrials);
        const int ccir = Successes(3, kCcir12345, 0.100, Line("CCIR: 12345"), snr, kTrials);
        table << snr << " | " << zvei << " | " << ccir << "\n";
        if (snr >= 20.0) {
            EXPECT_EQ(zvei, kTrials) << snr;
            EXPECT_EQ(ccir, kTrials) << snr;
        }
    }
    std::cout << table.str();
    RecordProperty("snr_table", table.str());
}

TEST(ZveiEndToEnd, GeneratorAndDecoderPrograms) {
    char path[] = "/tmp/quorvel-tones-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string wav = std::string(path) + ".wav";
    const auto gen = testing::RunCommand(std::string(QUORVEL_GEN_PATH) + " tones -o " + wav +
                                         " --table ccir -s 12345 -s 11900 --rate 44100 --snr 30");
    ASSERT_EQ(gen.status, 0) << gen.err;
    const auto dec =
        testing::RunCommand(std::string(QUORVEL_DECODE_PATH) + " --decoders zvei --table ccir " + wav);
    std::remove(wav.c_str());
    std::remove(path);
    ASSERT_EQ(dec.status, 0) << dec.err;
    EXPECT_TRUE(std::regex_match(dec.out, std::regex("[0-9:]+\tCCIR: 12345\n[0-9:]+\tCCIR: 1R90R\n"))) << dec.out;

    const auto bad = testing::RunCommand(std::string(QUORVEL_GEN_PATH) + " tones -o /dev/null -s 12X45");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("no tone \"X\""), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace quorvel
