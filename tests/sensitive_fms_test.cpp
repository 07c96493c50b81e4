// The sensitive FMS decoder: its stages alone (check bits, sync correlator,
// bit detector), then end to end through the processing loop against the
// specified decoder's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fms.h"
#include "core/sensitive/fms_sensitive.h"
#include "sensitive_signals.h"

namespace quorvel {
namespace {

using namespace quorvel::testing;
using fms_sensitive::FmsBitDetector;
using fms_sensitive::FmsFrontEnd;
using fms_sensitive::FmsSyncCorrelator;

std::array<std::uint8_t, 48> BitsOf(const char* s) {
    std::array<std::uint8_t, 48> b{};
    for (std::size_t k = 0; k < 48 && s[k] != 0; ++k) b[k] = static_cast<std::uint8_t>(s[k] - '0');
    return b;
}

// ----- check bits -----

TEST(SensitiveFmsCheck, WorkedExampleAndAgreementWithTheGenerator) {
    // Organisation 6, Land 3, location 1 2, vehicle 3 4 5 6, status 2, the rest 0.
    const auto example = BitsOf("0110110010000100110000101010011001000000" "0110110" "0");
    EXPECT_EQ(FmsCheckRemainder(example), 0b0110110u);
    EXPECT_EQ(FmsCheckOf(example), FmsCheck::Ok);
    // Every single-bit change of the 47 checked bits fails; an undecided bit
    // leaves the check undecided; bit 47 is not checked.
    for (std::size_t k = 0; k < 47; ++k) {
        auto b = example;
        b[k] ^= 1;
        EXPECT_EQ(FmsCheckOf(b), FmsCheck::Failed) << k;
        b[k] = 2;
        EXPECT_EQ(FmsCheckOf(b), FmsCheck::Undecided) << k;
    }
    // The decoder's remainder and the generator's own division agree on random data.
    gen::NoiseSource r(5);
    for (int n = 0; n < 200; ++n) {
        gen::FmsBlockBits b{};
        for (std::size_t k = 0; k < 40; ++k) b[k] = r.Uniform() < 0.5 ? 1 : 0;
        const auto check = gen::FmsCheckBits(b);
        const std::uint32_t rem = FmsCheckRemainder(b);
        for (std::size_t k = 0; k < 7; ++k) EXPECT_EQ(check[k], (rem >> (6 - k)) & 1u) << n;
        gen::FmsFillCheckPart(b);
        EXPECT_EQ(FmsCheckOf(b), FmsCheck::Ok);
        EXPECT_EQ(b[47], 0);
    }
}

// ----- stages alone -----

std::vector<std::uint8_t> PreambleSyncAnd(const std::vector<std::uint8_t>& payload, int preamble = 12) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(preamble), 1);
    for (std::uint8_t b : {0, 0, 0, 1, 1, 0, 1, 0}) bits.push_back(b);
    bits.insert(bits.end(), payload.begin(), payload.end());
    return bits;
}

// Runs the front end over samples (whole blocks, zero-padded).
void Feed(FmsFrontEnd& fe, const std::vector<double>& samples, std::size_t fromBlock, std::size_t blocks) {
    for (std::size_t b = fromBlock; b < fromBlock + blocks; ++b) {
        SampleArray block{};
        for (std::size_t i = 0; i < 1024; ++i) {
            const std::size_t n = b * 1024 + i;
            block[i] = n < samples.size() ? samples[n] : 0.0;
        }
        fe.Process(block);
    }
}

TEST(SensitiveFmsStages, SyncScoreIsLevelPhaseTwistAndDcFreeAndRejectsPlainTones) {
    const double bit = fms_sensitive::fms::BitSamples;
    struct Case {
        double level, twistDb, dc, phase;
    };
    for (const Case c : {Case{10000, 0, 0, 0}, Case{300, 0, 0, 1.0}, Case{8000, 6, 0, 2.0}, Case{8000, -6, 0, 3.0},
                         Case{5000, 0, 2000, 0.5}, Case{5000, 6, -3000, 4.0}}) {
        std::vector<double> s(700, 0.0);
        const auto wave = FskWave(PreambleSyncAnd(std::vector<std::uint8_t>(60, 1)), c.level, 1.0, c.twistDb, c.phase);
        s.insert(s.end(), wave.begin(), wave.end());
        for (double& x : s) x += c.dc;
        FmsFrontEnd fe;
        Feed(fe, s, 0, 2);
        FmsSyncCorrelator sync;
        const double end = 700.0 + 20.0 * bit;  // start of the first bit after the sync word
        const auto at = static_cast<std::int64_t>(std::ceil(end));
        EXPECT_GT(sync.Score(fe, at), 0.8) << c.level << " " << c.twistDb << " " << c.dc;
        // Before the sync word: the preamble alone scores low.
        EXPECT_LT(sync.Score(fe, at - 60), FmsSyncCorrelator::Threshold) << c.level;
        std::int64_t next = 0;
        double found = 0.0;
        ASSERT_TRUE(sync.Scan(fe, next, found));
        EXPECT_NEAR(found, end, 0.6) << c.level << " " << c.twistDb;
    }
    // A plain 1200 or 1800 Hz tone and white noise never reach the threshold.
    for (const double f : {1200.0, 1800.0, 1500.0}) {
        std::vector<double> s(4096);
        for (std::size_t n = 0; n < s.size(); ++n) s[n] = 9000.0 * std::sin(2.0 * std::numbers::pi * f * n / 11025.0);
        FmsFrontEnd fe;
        Feed(fe, s, 0, 4);
        FmsSyncCorrelator sync;
        std::int64_t next = 0;
        double found = 0.0;
        EXPECT_FALSE(sync.Scan(fe, next, found)) << f;
    }
}

TEST(SensitiveFmsStages, BitDetectorOnCleanTonesAtFiveHundredPpmEitherWay) {
    gen::NoiseSource r(3);
    std::vector<std::uint8_t> payload(900);
    for (auto& b : payload) b = r.Uniform() < 0.5 ? 1 : 0;
    for (const double ppm : {-500.0, 0.0, 500.0}) {
        const double scale = 1.0 + ppm * 1e-6;
        std::vector<double> s(300, 0.0);
        const auto wave = FskWave(PreambleSyncAnd(payload), 6000.0, scale, 0.0, 0.7);
        s.insert(s.end(), wave.begin(), wave.end());
        FmsFrontEnd fe;
        FmsSyncCorrelator sync;
        FmsBitDetector det;
        std::int64_t next = 0;
        double t0 = 0.0;
        std::vector<std::uint8_t> got;
        bool started = false;
        for (std::size_t b = 0; b * 1024 < s.size() + 2048; ++b) {
            Feed(fe, s, b, 1);
            if (!started && sync.Scan(fe, next, t0)) {
                det.Start(t0, sync.ReferenceAt(fe, t0), 4.0);
                started = true;
            }
            while (started && got.size() < payload.size() - 3 && det.Ready(fe)) got.push_back(det.Next(fe));
        }
        ASSERT_TRUE(started) << ppm;
        ASSERT_EQ(got.size(), payload.size() - 3) << ppm;
        int errors = 0;
        for (std::size_t k = 0; k < got.size(); ++k) errors += got[k] != payload[k];
        EXPECT_EQ(errors, 0) << ppm << " ppm";
        EXPECT_GT(det.TakeQuality(), 0.9) << ppm;
        // 900 bits at 500 ppm drift by 0.45 bit: the timing followed.
        EXPECT_NEAR(det.TimingOffset(), (1.0 / scale - 1.0) * 900.0 * fms_sensitive::fms::BitSamples, 1.0) << ppm;
    }
}

// ----- end to end -----

std::string Decode(bool sensitive, const std::vector<double>& samples) {
    DecodeRig rig(sensitive, true, false);
    return rig.Decode(samples);
}

std::vector<double> Framed(const std::vector<double>& wave, double lead = 0.3, double tail = 0.5) {
    std::vector<double> s(static_cast<std::size_t>(lead * SignalRate), 0.0);
    s.insert(s.end(), wave.begin(), wave.end());
    s.resize(s.size() + static_cast<std::size_t>(tail * SignalRate), 0.0);
    return s;
}

TEST(SensitiveFmsEndToEnd, SameTextAsTheSpecifiedDecoderForEveryFieldValueAndText) {
    std::vector<double> all;
    for (int k = 0; k < 16; ++k) {
        gen::FmsTransmission tx;
        tx.telegram.organisation = k;
        tx.telegram.land = 15 - k;
        tx.telegram.location = {k, (k + 3) % 16};
        tx.telegram.vehicle = {15 - k, k, (k + 5) % 16, (k + 10) % 16};
        tx.telegram.status = k;
        tx.telegram.buildStage = k % 2;
        tx.telegram.direction = (k / 2) % 2;
        tx.telegram.tactical = k % 4;
        if (k % 3 == 0) {
            tx.withText = true;
            tx.textNumber = 4 * k;
            tx.text = std::string("Wache ") + static_cast<char>('A' + k) + " \x01~" + std::string(static_cast<std::size_t>(k), 'x');
        }
        const auto w = Framed(gen::FmsWaveform(gen::FmsTransmissionBits(tx), 3000.0 + 1500.0 * k, SignalRate), 0.25, 0.0);
        all.insert(all.end(), w.begin(), w.end());
    }
    all.resize(all.size() + SignalRate / 2, 0.0);
    const std::string specified = Decode(false, all);
    ASSERT_NE(specified.find("Th/Brandenb."), std::string::npos);
    EXPECT_EQ(Decode(true, all), specified);
}

TEST(SensitiveFmsEndToEnd, OffNominalTwistDcAndLevelStepGiveTheCleanText) {
    gen::FmsTransmission tx;
    tx.withText = true;
    tx.textNumber = 23;
    tx.text = "ABCDEFG";
    const auto bits = gen::FmsTransmissionBits(tx);
    const std::string clean = Decode(false, Framed(gen::FmsWaveform(bits, 10000.0, SignalRate)));
    ASSERT_EQ(clean.substr(clean.size() - 12), "46\tABCDEFG\r\n");
    struct Case {
        double scale, twist, dc, step;
    };
    for (const Case c : {Case{1.005, 0, 0, 1}, Case{0.995, 0, 0, 1}, Case{1.0005, 6, 0, 1}, Case{0.9995, -6, 0, 1},
                         Case{1.0, 0, 1500, 1}, Case{1.003, 3, -800, 0.3}, Case{0.997, -3, 0, 3.0}}) {
        auto s = Framed(FskWave(bits, 8000.0, c.scale, c.twist, 1.1, 50, c.step));
        for (double& x : s) x += c.dc;
        EXPECT_EQ(Decode(true, s), clean) << c.scale << " " << c.twist << " " << c.dc << " " << c.step;
    }
}

// Exact telegrams out of `trials` noisy ones at an SNR over the 0..3000 Hz band;
// counts telegrams shown with other data than sent in `wrong`.
int ExactOf(double snr3k, int trials, int& wrong) {
    int exact = 0;
    for (int seed = 1; seed <= trials; ++seed) {
        gen::NoiseSource r(static_cast<std::uint64_t>(seed) * 31);
        gen::FmsTransmission tx;
        tx.telegram = RandomTelegram(r);
        const auto wave = FskWave(gen::FmsTransmissionBits(tx), 6000.0, 1.0, 0.0, 6.0 * r.Uniform());
        auto s = Framed(wave, 0.2 + 0.1 * r.Uniform(), 0.4);
        gen::AddNoise(s, gen::MeanSquare(wave), GeneratorSnr(snr3k), static_cast<std::uint64_t>(seed));
        DecodeRig rig(true, true, false);
        rig.Decode(s);
        const auto sent = gen::FmsStatusBits(tx.telegram);
        for (const FmsTelegram& t : rig.log.telegrams) {
            EXPECT_EQ(t.check, FmsCheck::Ok);
            bool same = true;
            for (std::size_t k = 0; k < 48; ++k) same = same && t.bits[k] == sent[k];
            (same ? exact : wrong) += 1;
        }
    }
    return exact;
}

TEST(SensitiveFmsEndToEnd, EveryTelegramAtTwelveDecibelsAndNinetyPercentAtSix) {
    int wrong = 0;
    EXPECT_EQ(ExactOf(12.0, 25, wrong), 25);
    // Measured with these seeds: 40 of 40 at 6 dB.
    EXPECT_GE(ExactOf(6.0, 40, wrong), 36);
    EXPECT_EQ(wrong, 0);
}

TEST(SensitiveFmsEndToEnd, FailedCheckIsDroppedWhereTheSpecifiedDecoderShowsIt) {
    auto bits = gen::FmsTransmissionBits(gen::FmsTransmission{});
    bits[12 + 8 + 33] ^= 1;  // a status bit: the check part no longer fits
    const auto s = Framed(gen::FmsWaveform(bits, 10000.0, SignalRate));
    EXPECT_NE(Decode(false, s), "");
    DecodeRig rig(true, true, false);
    EXPECT_EQ(rig.Decode(s), "");
    const auto* d = static_cast<const SensitiveFmsDecoder*>(rig.engine.decoders.Find("fms", DecoderForm::Sensitive));
    ASSERT_NE(d, nullptr);
    EXPECT_GE(d->DroppedBlocks(), 1);
}

TEST(SensitiveFmsEndToEnd, NoiseBabbleAndPocsagGiveNothing) {
    const std::size_t n = 20 * SignalRate;
    std::vector<double> noise(n, 0.0);
    gen::AddNoise(noise, 4000.0 * 4000.0, 0.0, 17);
    const std::vector<std::vector<double>> sources = {noise, Babble(n, 4, 15000.0, 5), PocsagTraffic(n, 512.0, 12000.0, 6),
                                                      PocsagTraffic(n, 1200.0, 12000.0, 7),
                                                      PocsagTraffic(n, 2400.0, 12000.0, 8)};
    for (std::size_t k = 0; k < sources.size(); ++k) {
        DecodeRig rig(true, true, false);
        EXPECT_EQ(rig.Decode(sources[k]), "") << k;
        EXPECT_TRUE(rig.log.telegrams.empty()) << k;
    }
}

}  // namespace
}  // namespace quorvel
