// The sensitive POCSAG decoder through the processing loop (settings.Sensitive
// on): the specified decoder's call text on clean signals, batch boundaries,
// long messages, transmissions close together, calls at the very start and end
// of the input, a bit slip, noise without lines, the 20 dB and 10 dB rows (and
// the line output's 14 dB row), and the --sensitive command line.
#include <gtest/gtest.h>

#include <cstdio>

#include "pocsag_test_support.h"
#include "sensitive_pocsag_support.h"

namespace quorvel {
namespace {

using testing::CallScore;
using testing::DecodePager;
using testing::ExpectedCallText;
using testing::PagerSamples;
using testing::PagerScenario;
using testing::PocsagOutput;
using testing::RandomCalls;
using testing::ScoreCalls;
using testing::WithoutSummaries;
using Kind = gen::PocsagMessage::Kind;

const std::vector<gen::PocsagMessage> kCalls = {
    {1234567, 3, Kind::Alphanumeric, "Einsatz B3 Brand Wohnhaus"},  // frame 7: runs into the next batch
    {4712, 1, Kind::Numeric, "0815 4711"},                          // 4000..4999: offset characters
    {80, 0, Kind::ToneOnly, ""},
};
const std::string kCallText =
    "1234567:\t3\tAlphaNum:\tEinsatz B3 Brand Wohnhaus\r\n"
    "0004712:\t1\tNumerisch:\t0815 4711 \r\n\t\tAlphaNum:\tSkyper: 00 22 09<DLE>\r\n"
    "0000080:\t0\tBeep \r\n";

struct CleanCase {
    double rate;
    bool inverted;
    PocsagOutput output;
};

class SensitiveClean : public ::testing::TestWithParam<CleanCase> {};

TEST_P(SensitiveClean, GivesTheSpecifiedDecodersText) {
    const CleanCase c = GetParam();
    PagerScenario s;
    s.rate = c.rate;
    s.inverted = c.inverted;
    s.output = c.output;
    s.ppm = 0.0;
    s.dcOffset = 0.0;
    const auto pcm = PagerSamples(s, kCalls);
    const std::string sensitive = DecodePager(pcm, true, c.output);
    EXPECT_EQ(WithoutSummaries(sensitive), kCallText);
    // One summary: every sync and idle codeword of the transmission counted,
    // and its bits, none of the silence after it.
    const auto cws = gen::PocsagCodewords(kCalls);
    char summary[96];
    std::snprintf(summary, sizeof summary, "idles: %d  syncs: %d  counts: %d", testing::Count(cws, gen::kPocsagIdleCodeword),
                  testing::Count(cws, gen::kPocsagSyncCodeword), static_cast<int>(32 * cws.size()));
    EXPECT_NE(sensitive.find(summary), std::string::npos) << sensitive;
    // The specified decoder agrees where it decodes this signal at all.
    const std::string specified = WithoutSummaries(DecodePager(pcm, false, c.output));
    if (!specified.empty()) {
        EXPECT_EQ(specified, kCallText);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RatesPolaritiesCharacteristics, SensitiveClean,
    ::testing::Values(CleanCase{512, false, PocsagOutput::Discriminator}, CleanCase{512, true, PocsagOutput::Discriminator},
                      CleanCase{1200, false, PocsagOutput::Discriminator}, CleanCase{1200, true, PocsagOutput::Discriminator},
                      CleanCase{2400, false, PocsagOutput::Discriminator}, CleanCase{2400, true, PocsagOutput::Discriminator},
                      CleanCase{1625, false, PocsagOutput::Discriminator}, CleanCase{1625, true, PocsagOutput::Discriminator},
                      CleanCase{512, false, PocsagOutput::LineOutput}, CleanCase{512, true, PocsagOutput::LineOutput},
                      CleanCase{1200, false, PocsagOutput::LineOutput}, CleanCase{1200, true, PocsagOutput::LineOutput},
                      CleanCase{2400, false, PocsagOutput::LineOutput}, CleanCase{2400, true, PocsagOutput::LineOutput},
                      CleanCase{1625, false, PocsagOutput::LineOutput}, CleanCase{1625, true, PocsagOutput::LineOutput}));

TEST(SensitiveEndToEnd, LongMessagesAcrossBatchesAndTwoTransmissionsCloseTogether) {
    std::string long200;
    for (int i = 0; i < 10; ++i) long200 += "Alarm 0123456789 ABC";  // 70 codewords: all kept
    const std::vector<gen::PocsagMessage> first = {{2000000, 2, Kind::Alphanumeric, long200}, {88, 1, Kind::ToneOnly, ""}};
    const std::vector<gen::PocsagMessage> second = {{300013, 0, Kind::Numeric, "112 112 112 112 112"},
                                                     {7, 1, Kind::Alphanumeric, "zweite Aussendung"}};
    PagerScenario s;
    s.rate = 1200;
    s.tailSeconds = 0.15;  // the next transmission follows after 150 ms
    auto pcm = PagerSamples(s, first);
    s.leadSeconds = 0.0;
    s.inverted = true;
    const auto more = PagerSamples(s, second);
    pcm.insert(pcm.end(), more.begin(), more.end());
    const std::string text = DecodePager(pcm, true, PocsagOutput::Discriminator);
    const std::string expected = "2000000:\t2\tAlphaNum:\t" + long200 + "\r\n" + ExpectedCallText(first[1]) +
                                 ExpectedCallText(second[0]) + ExpectedCallText(second[1]);
    EXPECT_EQ(WithoutSummaries(text), expected);
    EXPECT_EQ(testing::CallLines(text), 4);
}

TEST(SensitiveEndToEnd, LineOutputTransmissionsCloseTogether) {
    // On the line output a long run and silence look alike: the first
    // transmission has to end where its signal does, or the second one's
    // preamble is read as more of it.
    const std::vector<gen::PocsagMessage> first = {{4711, 1, Kind::Alphanumeric, "erste Aussendung"}};
    const std::vector<gen::PocsagMessage> second = {{300013, 0, Kind::Numeric, "112 112"}};
    for (const double rate : {512.0, 1200.0, 2400.0}) {
        PagerScenario s;
        s.rate = rate;
        s.output = PocsagOutput::LineOutput;
        s.tailSeconds = 0.15;
        auto pcm = PagerSamples(s, first);
        s.leadSeconds = 0.0;
        s.inverted = true;
        const auto more = PagerSamples(s, second);
        pcm.insert(pcm.end(), more.begin(), more.end());
        const std::string text = DecodePager(pcm, true, PocsagOutput::LineOutput);
        EXPECT_EQ(WithoutSummaries(text), ExpectedCallText(first[0]) + ExpectedCallText(second[0])) << rate;
        // Each summary counts its own idle codewords, none of the silence.
        for (const auto* calls : {&first, &second}) {
            char summary[64];
            std::snprintf(summary, sizeof summary, "idles: %d  syncs: %d",
                          testing::Count(gen::PocsagCodewords(*calls), gen::kPocsagIdleCodeword),
                          testing::Count(gen::PocsagCodewords(*calls), gen::kPocsagSyncCodeword));
            EXPECT_NE(text.find(summary), std::string::npos) << rate << "\n" << text;
        }
    }
}

TEST(SensitiveEndToEnd, CallsAtTheVeryStartAndEndOfTheInput) {
    PagerScenario s;
    s.rate = 2400;
    s.leadSeconds = 0.0;
    s.tailSeconds = 0.0;
    s.preamble = 200;
    const auto pcm = PagerSamples(s, kCalls);
    EXPECT_EQ(WithoutSummaries(DecodePager(pcm, true, PocsagOutput::Discriminator)), kCallText);
}

TEST(SensitiveEndToEnd, AnInsertedBitCostsNoMoreThanTheRestOfItsBatch) {
    // A long call fills the first batches; the last call stands in a later one.
    const std::vector<gen::PocsagMessage> calls = {
        {1000, 0, Kind::Alphanumeric, "Vorlauf ueber mehrere Codewoerter hinweg bis in den naechsten Batch"},
        {2003, 2, Kind::Alphanumeric, "nach dem Schlupf"}};
    const auto cws = gen::PocsagCodewords(calls);
    const auto lastAddress = std::find(cws.begin(), cws.end(), gen::PocsagMessageCodewords(calls[1])[0]) - cws.begin();
    ASSERT_GE(lastAddress, 34) << "the last call must start in the third batch";
    for (const bool inverted : {false, true}) {
        gen::PocsagSignal sig;
        sig.bitRate = 1200;
        sig.inverted = inverted;
        const auto wave = gen::PocsagWaveform(sig, cws);
        // One bit period copied in the middle of the second batch.
        const double period = 11025.0 / 1200.0;
        const auto at = static_cast<std::size_t>((576 + 32 * 17 + 32 * 8 + 5) * period);
        std::vector<double> slipped(wave.begin(), wave.begin() + static_cast<long>(at));
        slipped.insert(slipped.end(), wave.begin() + static_cast<long>(at),
                       wave.begin() + static_cast<long>(at + static_cast<std::size_t>(std::lround(period))));
        slipped.insert(slipped.end(), wave.begin() + static_cast<long>(at), wave.end());
        slipped.resize(slipped.size() + 5000, 0.0);
        const std::string text = DecodePager(gen::Quantize(slipped), true, PocsagOutput::Discriminator);
        EXPECT_NE(text.find(ExpectedCallText(calls[1])), std::string::npos) << text;
        EXPECT_NE(text.find("0001000:\t0\t"), std::string::npos);
        EXPECT_EQ(testing::CallLines(text), 2) << text;
    }
}

TEST(SensitiveEndToEnd, NoiseGivesNoLine) {
    std::vector<double> noise(static_cast<std::size_t>(11025 * 120), 0.0);
    gen::AddNoise(noise, 3000.0 * 3000.0, 0.0, 77);
    EXPECT_EQ(testing::CallLines(DecodePager(gen::Quantize(noise), true, PocsagOutput::Discriminator)), 0);
    EXPECT_EQ(testing::CallLines(DecodePager(gen::Quantize(noise), true, PocsagOutput::LineOutput)), 0);
}

// A fixed seeded set: every rate in use and an odd one, both polarities, the
// clock a few hundred ppm off, DC offset.
CallScore Row(double snr, int transmissionsPerRate, PocsagOutput output = PocsagOutput::Discriminator) {
    CallScore total;
    std::uint64_t seed = (output == PocsagOutput::LineOutput ? 19000 : 9000) + static_cast<std::uint64_t>(snr * 10);
    for (const double rate : {512.0, 1200.0, 2400.0, 1625.0}) {
        for (int t = 0; t < transmissionsPerRate; ++t) {
            PagerScenario s;
            s.rate = rate;
            s.snrDb = snr;
            s.inverted = t % 2 == 1;
            s.ppm = t % 4 < 2 ? 400.0 : -300.0;
            s.output = output;
            s.seed = ++seed;
            const auto calls = RandomCalls(s.seed, 3);
            total += ScoreCalls(DecodePager(PagerSamples(s, calls), true, output), calls);
        }
    }
    return total;
}

TEST(SensitiveEndToEnd, TwentyDecibelsEveryCallExact) {
    const CallScore r = Row(20.0, 6);
    EXPECT_EQ(r.exact, r.expected);
    EXPECT_EQ(r.falseLines, 0);
}

TEST(SensitiveEndToEnd, TenDecibelsAtLeastNinetyFivePercent) {
    const CallScore r = Row(10.0, 8);
    EXPECT_GE(r.exact * 100, 95 * r.expected) << r.exact << "/" << r.expected;
    EXPECT_EQ(r.falseLines, 0);
}

TEST(SensitiveEndToEnd, LineOutputFourteenDecibelsAtLeastNinetyFivePercent) {
    const CallScore r = Row(14.0, 6, PocsagOutput::LineOutput);
    EXPECT_GE(r.exact * 100, 95 * r.expected) << r.exact << "/" << r.expected;
    EXPECT_EQ(r.falseLines, 0);
}

TEST(SensitiveEndToEnd, CommandLineHearsByDefault) {
    // 512 bit/s at 20 dB: only the sensitive decoder hears it. The command line
    // uses it unless --specified is given, and shows each call once, in the
    // rendering its type stands for (function 1: the characters).
    PagerScenario s;
    s.rate = 512;
    s.snrDb = 20.0;
    s.seed = 5;
    const auto pcm = PagerSamples(s, kCalls);
    const std::string path = ::testing::TempDir() + "sensitive_cli.raw";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(pcm.data(), sizeof(std::int16_t), pcm.size(), f);
    std::fclose(f);
    // Times from the input, so that the three runs' summaries can be compared.
    const std::string decode = std::string(QUORVEL_DECODE_PATH) + " -t raw -r 11025 -c 1 -d pocsag --raw-text --clock input " + path;
    const auto plain = testing::RunCommand(decode + " --specified");
    const auto byDefault = testing::RunCommand(decode);
    const auto sensitive = testing::RunCommand(decode + " --sensitive");
    std::remove(path.c_str());
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(sensitive.status, 0);
    EXPECT_EQ(testing::CallLines(plain.out), 0);
    const std::string oneRendering =
        "1234567:\t3\tAlphaNum:\tEinsatz B3 Brand Wohnhaus\r\n"
        "0004712:\t1\tAlphaNum:\tSkyper: 00 22 09<DLE>\r\n"
        "0000080:\t0\tBeep \r\n";
    EXPECT_EQ(WithoutSummaries(byDefault.out), oneRendering) << byDefault.err;
    EXPECT_EQ(sensitive.out, byDefault.out);
}

}  // namespace
}  // namespace quorvel
