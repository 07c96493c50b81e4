// The sensitive five-tone decoder: the filter bank and the hop classifier
// alone, then end to end through the processing loop against the specified
// decoder's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sensitive/tone_sensitive.h"
#include "core/zvei.h"
#include "sensitive_signals.h"

namespace quorvel {
namespace {

using namespace quorvel::testing;
using tone_sensitive::ToneFilterBank;
using tone_sensitive::ToneHopClassifier;

// The classification of the last hop of a steady tone (plus a constant).
std::int32_t ClassifySteady(ToneFilterBank& bank, double f, double dc = 0.0) {
    SampleArray block{};
    for (std::size_t n = 0; n < block.size(); ++n)
        block[n] = dc + 5000.0 * std::sin(2.0 * std::numbers::pi * f * static_cast<double>(n) / 11025.0 + 0.4);
    std::int32_t label = -2;
    bank.Reset();
    bank.Feed(block, [&](std::int32_t) { label = ToneHopClassifier::Classify(bank); });
    return label;
}

TEST(SensitiveToneStages, FiltersAnswerAtTheirFrequenciesAndNotBetween) {
    for (std::int32_t table = 0; table < zvei::TableCount; ++table) {
        ToneFilterBank bank;
        ASSERT_TRUE(bank.Configure(table));
        const zvei::ToneTable& t = zvei::Table(table);
        for (std::int32_t k = 0; k < t.entryCount; ++k) {
            const double f = t.entries[k].frequency;
            for (const double off : {1.0, 0.995, 1.005}) {
                const std::int32_t label = ClassifySteady(bank, f * off, off == 1.0 ? 0.0 : 3000.0);
                ASSERT_GE(label, 0) << t.name << " " << f * off;
                // The tone's own filter, or one within 45 Hz (one tone to the segmenter).
                EXPECT_LE(std::fabs(bank.Frequency(label) - f), 45.0) << t.name << " " << f * off;
                if (off == 1.0) {
                    EXPECT_EQ(bank.Entry(label), k) << t.name << " " << f;
                    // A clean tone on its filter holds all the window's energy.
                    EXPECT_NEAR(bank.Power(label) / (bank.WindowEnergy() * 64.0), 1.0, 0.05) << f;
                }
            }
        }
        // Between two neighbouring filters more than 90 Hz apart no table
        // filter takes the tone; far outside the band none does.
        for (std::int32_t j = 0; j + 1 < bank.Count(); ++j) {
            if (bank.Frequency(j + 1) - bank.Frequency(j) < 90.0) continue;
            const std::int32_t label = ClassifySteady(bank, (bank.Frequency(j) + bank.Frequency(j + 1)) / 2.0);
            EXPECT_TRUE(label < 0 || bank.Entry(label) < 0) << t.name << " " << bank.Frequency(j);
        }
        EXPECT_LT(ClassifySteady(bank, 300.0), 0);
        EXPECT_LT(ClassifySteady(bank, 4000.0), 0);
    }
    ToneFilterBank none;
    EXPECT_FALSE(none.Configure(-1));
    EXPECT_EQ(none.Count(), 0);
}

// ----- end to end -----

std::vector<double> Framed(const std::vector<double>& tones, double lead = 0.3, double tail = 0.5) {
    std::vector<double> s(static_cast<std::size_t>(lead * SignalRate), 0.0);
    s.insert(s.end(), tones.begin(), tones.end());
    s.resize(s.size() + static_cast<std::size_t>(tail * SignalRate), 0.0);
    return s;
}

std::vector<double> Sequences(int table, const std::vector<std::string>& symbols, double scale = 1.0) {
    std::vector<std::vector<double>> seqs;
    for (const std::string& s : symbols) {
        std::vector<double> f;
        EXPECT_TRUE(gen::ToneFrequencies(table, s, true, f)) << s;
        for (double& x : f) x *= scale;
        seqs.push_back(f);
    }
    gen::ToneTiming timing;
    timing.toneSeconds = gen::StandardToneSeconds(table);
    timing.pauseSeconds = 0.25;
    return gen::SynthesizeToneSequences(seqs, timing, 8000.0, SignalRate).samples;
}

std::string Decode(bool sensitive, int table, const std::vector<double>& s) {
    DecodeRig rig(sensitive, false, true, table);
    return rig.Decode(s);
}

TEST(SensitiveToneEndToEnd, SameTextAsTheSpecifiedDecoderInEveryTable) {
    // Every entry of every table, repeats sent as the repeat tone, sequences
    // back to back with 250 ms pauses. ZVEI normal's "L" (1860 Hz) is left
    // out: the specified decoder names it "7" (the first entry within 2.5 %),
    // the sensitive one "L".
    const std::vector<std::vector<std::string>> symbols = {
        {"12345", "67890", "11111", "1Gr345", "CHU0J", "P9R87", "00000"},
        {"12345", "67890", "22222", "GABCD", "E1A2B"},
        {"12345", "67890", "33333", "GABC1", "RG1R1"},
        {"12345", "67890", "44444", "ABCDE", "RG1R2"},
    };
    for (int table = 0; table < zvei::TableCount; ++table) {
        const auto s = Framed(Sequences(table, symbols[static_cast<std::size_t>(table)]));
        const std::string specified = Decode(false, table, s);
        ASSERT_EQ(std::count(specified.begin(), specified.end(), '\n'), static_cast<long>(symbols[static_cast<std::size_t>(table)].size()))
            << specified;
        EXPECT_EQ(Decode(true, table, s), specified) << table;
        // Half a percent off nominal either way: still the same text.
        EXPECT_EQ(Decode(true, table, Framed(Sequences(table, symbols[static_cast<std::size_t>(table)], 1.005))), specified);
        EXPECT_EQ(Decode(true, table, Framed(Sequences(table, symbols[static_cast<std::size_t>(table)], 0.995))), specified);
    }
    // "L" as the sensitive decoder names it.
    EXPECT_EQ(Decode(true, 0, Framed(Sequences(0, {"1L3L5"}))), "14:03:07\tZVEI: 1L3L5\r\n");
}

TEST(SensitiveToneEndToEnd, FailedTonesAndTableLimitsAsTheSpecifiedDecoder) {
    auto tones = [](const std::vector<double>& f, double seconds) {
        return Framed(ToneRun(f, std::vector<double>(f.size(), 8000.0), seconds));
    };
    // Off-table tones are failed tones, shown with their frequency.
    const auto failed = tones({1060, 970, 1270, 1400, 1530}, 0.070);
    EXPECT_EQ(Decode(false, 0, failed), "14:03:07\tZVEI: 1 fail: 970 345\r\n");
    EXPECT_EQ(Decode(true, 0, failed), "14:03:07\tZVEI: 1 fail: 970 345\r\n");
    // The frequency shown is the measured one: the specified decoder's zero
    // crossings give 2501 Hz for this 2500 Hz tone, the filter's phase 2500.
    EXPECT_EQ(Decode(true, 0, tones({1060, 2500, 1270, 1400, 2700}, 0.070)), "14:03:07\tZVEI: 1 fail: 2500 34 fail: 2700 \r\n");
    // 70 ms tones are too short for the CCIR limits, 100 ms ones fit them;
    // a 200 ms tone is too long for the first four places.
    EXPECT_EQ(Decode(true, 3, tones({1124, 1197, 1275, 1358, 1446}, 0.070)), "");
    EXPECT_EQ(Decode(true, 3, tones({1124, 1197, 1275, 1358, 1446}, 0.100)), "14:03:07\tCCIR: 12345\r\n");
    EXPECT_EQ(Decode(true, 0, tones({1060, 1160, 1270, 1400, 1530}, 0.200)), "");
    // No table chosen: nothing.
    EXPECT_EQ(Decode(true, -1, tones({1060, 1160, 1270, 1400, 1530}, 0.070)), "");
}

// Faults of the channel: each tone's level within +-levelDb, and a slope of
// twistDb (drawn within +-) per 1200 Hz about 1800 Hz.
struct ToneFaults {
    double twistDb = 0.0;
    double levelDb = 0.0;
};

// Exact sequences out of `trials` at an SNR over 0..3000 Hz (against the mean
// power of the whole sequence); any other sequence counts in `wrong`.
int ExactOf(int table, double snr3k, int trials, int& wrong, const ToneFaults& faults = {}) {
    int exact = 0;
    const zvei::ToneTable& t = zvei::Table(table);
    for (int seed = 1; seed <= trials; ++seed) {
        gen::NoiseSource r(static_cast<std::uint64_t>(seed) * 13 + static_cast<std::uint64_t>(table));
        std::string symbols;
        for (int j = 0; j < 5; ++j) symbols += static_cast<char>('0' + static_cast<int>(r.Uniform() * 10) % 10);
        std::vector<double> f;
        EXPECT_TRUE(gen::ToneFrequencies(table, symbols, true, f));
        for (double& x : f) x *= 1.0 + 0.01 * (r.Uniform() - 0.5);
        std::vector<double> levels(5, 6000.0);
        if (faults.twistDb > 0.0 || faults.levelDb > 0.0) {
            const double twist = faults.twistDb * (2.0 * r.Uniform() - 1.0);
            for (std::size_t j = 0; j < 5; ++j) {
                const double db = twist * (f[j] - 1800.0) / 1200.0 + faults.levelDb * (2.0 * r.Uniform() - 1.0);
                levels[j] *= std::pow(10.0, db / 20.0);
            }
        }
        const auto wave = ToneRun(f, levels, gen::StandardToneSeconds(table));
        auto s = Framed(wave, 0.2 + 0.2 * r.Uniform());
        gen::AddNoise(s, gen::MeanSquare(wave), GeneratorSnr(snr3k), static_cast<std::uint64_t>(seed));
        DecodeRig rig(true, false, true, table);
        rig.Decode(s);
        std::string sent;
        std::vector<double> g;
        gen::ToneFrequencies(table, symbols, true, g);
        for (double x : g) sent += std::string(zvei::MatchTone(t, x)->text);
        for (const ToneSequence& q : rig.log.sequences) {
            std::string got;
            for (std::int32_t j = 0; j < q.count; ++j) got += q.entries[static_cast<std::size_t>(j)] >= 0 ? std::string(t.entries[q.entries[static_cast<std::size_t>(j)]].text) : "?";
            (got == sent ? exact : wrong) += 1;
        }
    }
    return exact;
}

TEST(SensitiveToneEndToEnd, EverySequenceAtTwelveDecibelsAndNinetyPercentAtSix) {
    for (const int table : {0, 3}) {
        int wrong = 0;
        EXPECT_EQ(ExactOf(table, 12.0, 20, wrong), 20) << table;
        EXPECT_GE(ExactOf(table, 6.0, 40, wrong), 36) << table;
        EXPECT_EQ(wrong, 0) << table;
    }
}

TEST(SensitiveToneEndToEnd, TwistAndLevelSpreadOffNominalAtSixThreeAndZeroDecibels) {
    // Tones +-0.5 % off, twist within +-6 dB and each tone within +-3 dB: the
    // weakest tone lies several dB under the SNR stated for the sequence.
    struct Row {
        double snr;
        int trials;
        int least;  // exact sequences required
    };
    const std::vector<Row> rows = {{6.0, 40, 40}, {3.0, 40, 38}, {0.0, 40, 24}};
    for (const int table : {0, 1, 2, 3}) {
        int wrong = 0;
        for (const Row& row : rows)
            EXPECT_GE(ExactOf(table, row.snr, row.trials, wrong, {6.0, 3.0}), row.least) << table << " " << row.snr;
        EXPECT_EQ(wrong, 0) << table;
    }
}

TEST(SensitiveToneEndToEnd, NoiseBabblePocsagAndFmsGiveNothing) {
    const std::size_t n = 20 * SignalRate;
    std::vector<double> noise(n, 0.0);
    gen::AddNoise(noise, 4000.0 * 4000.0, 0.0, 17);
    std::vector<double> fms;
    gen::FmsTransmission tx;
    tx.withText = true;
    tx.text = "Einsatz beendet, Fahrzeug frei";
    const auto w = gen::FmsWaveform(gen::FmsTransmissionBits(tx), 9000.0, SignalRate);
    while (fms.size() < n / 4) {
        fms.insert(fms.end(), w.begin(), w.end());
        fms.resize(fms.size() + 2000, 0.0);
    }
    const std::vector<std::vector<double>> sources = {noise, Babble(n, 4, 15000.0, 5), Babble(n, 1, 15000.0, 9),
                                                      PocsagTraffic(n, 512.0, 12000.0, 6), PocsagTraffic(n, 1200.0, 12000.0, 7),
                                                      PocsagTraffic(n, 2400.0, 12000.0, 8), fms};
    for (const int table : {0, 3}) {
        for (std::size_t k = 0; k < sources.size(); ++k) {
            DecodeRig rig(true, false, true, table);
            EXPECT_EQ(rig.Decode(sources[k]), "") << table << " " << k;
        }
    }
}

}  // namespace
}  // namespace quorvel
