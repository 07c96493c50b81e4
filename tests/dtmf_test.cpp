// The DTMF decoder through the engine, on generated keys: which key strings come
// out for keys at the limits of length, twist and frequency, held long, with
// dropouts and pauses, in noise and in noise alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/sensitive/dtmf.h"
#include "gen/dtmf_gen.h"
#include "sensitive_signals.h"
#include "station/address.h"
#include "station/filters.h"
#include "test_support.h"

namespace quorvel {
namespace {

using testing::SignalRate;

struct Piece {
    std::string keys;  // empty: silence only
    gen::DtmfOptions options;
    double silenceAfter = 0.0;  // seconds, after the keys' own pauses
};

std::vector<double> Keys(const std::vector<Piece>& pieces, double lead = 0.3) {
    std::vector<double> out(static_cast<std::size_t>(lead * SignalRate), 0.0);
    for (const Piece& p : pieces) {
        std::vector<gen::DtmfTone> tones;
        EXPECT_TRUE(gen::DtmfTones(p.keys, p.options, tones));
        const auto s = gen::SynthesizeDtmf(tones, SignalRate).samples;
        out.insert(out.end(), s.begin(), s.end());
        out.resize(out.size() + static_cast<std::size_t>(p.silenceAfter * SignalRate), 0.0);
    }
    return out;
}

gen::DtmfOptions Opt(double toneMs, double pauseMs = 70.0, double twistDb = 0.0, double offsetPercent = 0.0) {
    gen::DtmfOptions o;
    o.toneSeconds = toneMs / 1000.0;
    o.pauseSeconds = pauseMs / 1000.0;
    o.twistDb = twistDb;
    o.offsetPercent = offsetPercent;
    o.level = 12000.0;
    return o;
}

// A key pressed twice with a gap of `gapMs` in between (a dropout or a pause).
std::vector<double> Interrupted(char key, double gapMs) {
    return Keys({{std::string(1, key), Opt(100.0, gapMs)}, {std::string(1, key), Opt(100.0)}});
}

std::vector<double> WithNoise(std::vector<double> v, double snr3k, std::uint64_t seed) {
    gen::AddNoise(v, testing::PowerWhereSounding(v), testing::GeneratorSnr(snr3k), seed);
    return v;
}

struct Case {
    const char* name;
    std::function<std::vector<double>()> signal;
    std::vector<std::string> expected;  // the sequences, in order
};

TEST(Dtmf, KeysThroughTheEngine) {
    const std::vector<Case> cases = {
        {"every key", [] { return Keys({{"123A456B789C*0#D", Opt(70.0)}}); }, {"123A456B789C*0#D"}},
        {"lower-case letters are the same keys", [] { return Keys({{"abcd", Opt(60.0)}}); }, {"ABCD"}},
        {"keys of 35 ms are too short", [] { return Keys({{"159#", Opt(35.0, 60.0)}}); }, {}},
        {"keys of 40 ms", [] { return Keys({{"159#", Opt(40.0, 60.0)}}); }, {"159#"}},
        {"keys of 45 ms", [] { return Keys({{"2580", Opt(45.0, 60.0)}}); }, {"2580"}},
        {"twist +8 dB", [] { return Keys({{"147*", Opt(60.0, 60.0, 8.0)}}); }, {"147*"}},
        {"twist -8 dB", [] { return Keys({{"369#", Opt(60.0, 60.0, -8.0)}}); }, {"369#"}},
        {"twist +10 dB", [] { return Keys({{"147*", Opt(60.0, 60.0, 10.0)}}); }, {}},
        {"twist -10 dB", [] { return Keys({{"369#", Opt(60.0, 60.0, -10.0)}}); }, {}},
        {"1.5 % high", [] { return Keys({{"ABCD0", Opt(60.0, 60.0, 0.0, 1.5)}}); }, {"ABCD0"}},
        {"1.5 % low", [] { return Keys({{"12345", Opt(60.0, 60.0, 0.0, -1.5)}}); }, {"12345"}},
        {"3.5 % high", [] { return Keys({{"ABCD0", Opt(60.0, 60.0, 0.0, 3.5)}}); }, {}},
        {"3.5 % low", [] { return Keys({{"12345", Opt(60.0, 60.0, 0.0, -3.5)}}); }, {}},
        {"a key held 2 s counts once", [] { return Keys({{"7", Opt(2000.0)}}); }, {"7"}},
        {"a dropout of 10 ms inside a key", [] { return Interrupted('8', 10.0); }, {"8"}},
        {"a pause of 40 ms between equal keys", [] { return Interrupted('8', 40.0); }, {"88"}},
        {"a pause of 0.9 s keeps the sequence", [] { return Keys({{"12", Opt(70.0, 900.0)}, {"3", Opt(70.0)}}); },
         {"123"}},
        {"sequences 1.2 s apart",
         [] { return Keys({{"12", Opt(70.0)}, {"", {}, 1.2}, {"34", Opt(60.0)}, {"", {}, 1.5}, {"#", Opt(80.0)}}); },
         {"12", "34", "#"}},
        {"keys at 6 dB SNR", [] { return WithNoise(Keys({{"0123456789", Opt(60.0, 60.0, 3.0, 1.0)}}, 0.5), 6.0, 5); },
         {"0123456789"}},
        {"white noise alone",
         [] {
             std::vector<double> v(20 * SignalRate, 0.0);
             gen::AddNoise(v, 3000.0 * 3000.0, 0.0, 6);
             return v;
         },
         {}},
        {"babble alone", [] { return testing::Babble(20 * SignalRate, 3, 12000.0, 7); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::DecodeRig rig(true, false, false, 0, true);
        rig.Decode(c.signal());
        std::vector<std::string> got;
        for (const DtmfSequence& s : rig.log.dtmf) got.push_back(s.keys);
        EXPECT_EQ(got, c.expected);
    }
}

// The stages alone: the bank at the DTMF frequencies, the hop classifier and
// the segmenter measure a clean key's frequencies and length.
TEST(Dtmf, StagesMeasureAKey) {
    const struct {
        char key;
        double offsetPercent, toneMs, twistDb;
    } cases[] = {{'1', 0.0, 60.0, 0.0}, {'D', 1.5, 40.0, 6.0}, {'*', -1.5, 45.0, -6.0}, {'8', 1.0, 200.0, 0.0}, {'9', 0.0, 300.0, 0.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::vector<gen::DtmfTone> tones;
        ASSERT_TRUE(gen::DtmfTones(std::string(1, c.key), Opt(c.toneMs, 100.0, c.twistDb, c.offsetPercent), tones));
        std::vector<double> samples(317, 0.0);  // the key starts inside a hop
        const auto s = gen::SynthesizeDtmf(tones, SignalRate).samples;
        samples.insert(samples.end(), s.begin(), s.end());
        samples.resize(8 * FramesPerBlock, 0.0);
        tone_sensitive::ToneFilterBank bank;
        ASSERT_TRUE(bank.Configure(dtmf::FilterHz));
        ASSERT_EQ(bank.Count(), dtmf::FilterCount);
        dtmf::DtmfSegmenter segmenter;
        std::vector<dtmf::DetectedKey> found;
        SampleArray block{};
        for (std::size_t b = 0; b < 8; ++b) {
            std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(b * FramesPerBlock), FramesPerBlock, block.begin());
            bank.Feed(block, [&](std::int32_t) {
                dtmf::DetectedKey key;
                if (segmenter.Step(bank, dtmf::DtmfHopClassifier::Classify(bank), key)) found.push_back(key);
            });
        }
        ASSERT_EQ(found.size(), 1u);
        const dtmf::DetectedKey& k = found[0];
        EXPECT_EQ(dtmf::Keys[static_cast<std::size_t>(k.key)], c.key);
        EXPECT_NEAR(k.lowHz, tones[0].lowHz, 2.0);
        EXPECT_NEAR(k.highHz, tones[0].highHz, 2.0);
        EXPECT_NEAR(k.samples / SignalRate * 1000.0, c.toneMs, 3.0);
        EXPECT_TRUE(DtmfDecoder::Accept(k, SignalRate));
    }
}

// What is open when the input ends comes out at once; a sequence ends where its
// second without a key runs out, and its text line says when.
TEST(Dtmf, SequenceEndsAndTextLine) {
    testing::DecodeRig rig(true, false, false, 0, true);
    const std::vector<double> samples = Keys({{"9*", Opt(70.0)}, {"", {}, 1.5}, {"D", Opt(70.0)}});
    rig.Decode(samples, false);
    ASSERT_EQ(rig.log.dtmf.size(), 1u);
    EXPECT_EQ(rig.log.dtmf[0].keys, "9*");
    // The second key ends 0.3 + 0.07 + 0.07 + 0.07 = 0.51 s in; a second later, within a hop or two.
    EXPECT_NEAR(static_cast<double>(rig.log.dtmf[0].at.sample) / SignalRate, 1.51, 0.03);
    EXPECT_EQ(rig.text, "14:03:07\tDTMF: 9*\r\n");
    const BlockDecoder* decoder = rig.engine.decoders.Find("dtmf", DecoderForm::Sensitive);
    ASSERT_NE(decoder, nullptr);
    EXPECT_TRUE(decoder->Busy());
    rig.engine.decoders.FinishInput(rig.engine.ctx.settings);
    ASSERT_EQ(rig.log.dtmf.size(), 2u);
    EXPECT_EQ(rig.log.dtmf[1].keys, "D");
    EXPECT_FALSE(decoder->Busy());
}

// DTMF has no specified form: its switch alone decides, whatever Sensitive says.
TEST(Dtmf, RunsWithTheSensitiveSwitchOff) {
    testing::DecodeRig rig(false, false, false, 0, true);
    rig.Decode(Keys({{"42", Opt(70.0)}}));
    ASSERT_EQ(rig.log.dtmf.size(), 1u);
    EXPECT_EQ(rig.log.dtmf[0].keys, "42");
    testing::DecodeRig off(true, false, false, 0, false);
    off.Decode(Keys({{"42", Opt(70.0)}}));
    EXPECT_TRUE(off.log.dtmf.empty());
}

// As a user runs it: the generator piped into the decoder, text and JSON; a
// character that is no key refused.
TEST(Dtmf, GeneratorIntoDecoder) {
    const std::string gen = std::string(QUORVEL_GEN_PATH) + " dtmf --keys 123# --snr 10 --twist 3 --offset 1 -o - | ";
    const std::string decode = std::string(QUORVEL_DECODE_PATH) + " --decoders dtmf --sensitive --clock input ";
    const auto text = testing::RunCommand(gen + decode + "-");
    EXPECT_EQ(text.status, 0) << text.err;
    // The last key ends 0.99 s in; the sequence a second later.
    EXPECT_EQ(text.out, "00:00:01\tDTMF: 123#\n");
    const auto json = testing::RunCommand(gen + decode + "--format json -");
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find(R"("protocol":"dtmf")"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find(R"("digits":"123#")"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find(R"("address":"123#")"), std::string::npos) << json.out;
    const auto bad = testing::RunCommand(std::string(QUORVEL_GEN_PATH) + " dtmf --keys 12E -o /dev/null");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("\"E\""), std::string::npos) << bad.err;
}

// The station knows DTMF addresses: key strings in alias files and filters,
// a-d as A-D; names and filters reach the decoded line.
TEST(Dtmf, StationAddresses) {
    EXPECT_TRUE(station::KnownProtocol("dtmf"));
    EXPECT_EQ(station::CanonicalAddress("dtmf", "12a#*"), "12A#*");
    EXPECT_EQ(station::CanonicalAddress("dtmf", "12E"), "");
    EXPECT_EQ(station::CanonicalAddress("dtmf", std::string(65, '1')), "");
    EXPECT_EQ(station::CanonicalAddress("dtmf", std::string(64, '1')), std::string(64, '1'));
    std::string error;
    const auto rule = station::ParseFilterRule("DTMF:12a#", error);
    ASSERT_TRUE(rule) << error;
    station::Call call;
    call.protocol = "dtmf";
    for (const auto& [address, matches] : {std::pair{"12A#", true}, {"12A", false}, {"12A##", false}, {"#A21", false}}) {
        call.address = address;
        EXPECT_EQ(rule->Matches(call), matches) << address;
    }

    const std::string dir = ::testing::TempDir();
    const std::string wav = dir + "/dtmf-station.wav";
    const std::string names = dir + "/dtmf-names.csv";
    {
        std::ofstream(names) << "protocol,address,subaddress,name\ndtmf,123#,,Tor Nord\n";
    }
    ASSERT_EQ(testing::RunCommand(std::string(QUORVEL_GEN_PATH) + " dtmf --keys 123# -o " + wav).status, 0);
    const std::string decode = std::string(QUORVEL_DECODE_PATH) + " -d dtmf --clock input ";
    const auto named = testing::RunCommand(decode + "--aliases " + names + " --only dtmf " + wav);
    EXPECT_EQ(named.out, "00:00:01\tDTMF: 123#\tTor Nord\n") << named.err;
    const auto filtered = testing::RunCommand(decode + "--only dtmf:9 " + wav);
    EXPECT_EQ(filtered.status, 0) << filtered.err;
    EXPECT_EQ(filtered.out, "");
    // A hook sees the call as for any kind: its JSON and the environment.
    const std::string seen = dir + "/dtmf-hook.txt";
    std::remove(seen.c_str());
    const auto hooked = testing::RunCommand(decode + "--aliases " + names + " --exec 'cat >> " + seen +
                                            "; echo \"$QUORVEL_PROTOCOL $QUORVEL_ADDRESS $QUORVEL_NAME\" >> " + seen +
                                            "' " + wav);
    EXPECT_EQ(hooked.status, 0) << hooked.err;
    const std::string hook = testing::ReadFile(seen);
    EXPECT_NE(hook.find("\"protocol\":\"dtmf\",\"digits\":\"123#\""), std::string::npos) << hook;
    EXPECT_NE(hook.find("\"name\":\"Tor Nord\""), std::string::npos) << hook;
    EXPECT_NE(hook.find("dtmf 123# Tor Nord\n"), std::string::npos) << hook;
}

}  // namespace
}  // namespace quorvel
