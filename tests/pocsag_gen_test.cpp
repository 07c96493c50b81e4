// The POCSAG generator: codewords checked with an independent polynomial
// division, batches unpacked by a reference reader, and waveforms checked for
// length, timing, polarity, level and for runs a receiving front end can measure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gen/pocsag_gen.h"
#include "test_support.h"

namespace {

using quorvel::gen::PocsagMessage;
using Kind = quorvel::gen::PocsagMessage::Kind;
namespace g = quorvel::gen;

constexpr std::uint32_t kSync = 0x7CD215D8u;
constexpr std::uint32_t kIdle = 0x7A89C197u;

// Remainder of the 31-bit code polynomial (bits 31..1 of cw) modulo
// x^10+x^9+x^8+x^6+x^5+x^3+1, computed as a shift register fed bit by bit.
std::uint32_t ReferenceRemainder(std::uint32_t cw) {
    std::uint32_t reg = 0;
    for (int bit = 31; bit >= 1; --bit) {
        reg = (reg << 1) | ((cw >> bit) & 1u);
        if (reg & 0x400u) reg ^= 0x769u;
    }
    return reg;
}

int Ones(std::uint32_t x) {
    int n = 0;
    for (int b = 0; b < 32; ++b) n += (x >> b) & 1u;
    return n;
}

TEST(PocsagGenBch, KnownCodewordsAndFlippedBits) {
    for (std::uint32_t cw : {kSync, kIdle, 0u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ReferenceRemainder(cw), 0u) << std::hex << cw;
        EXPECT_EQ(g::PocsagCheckRemainder(cw), 0u) << std::hex << cw;
    }
    // The information bits of the sync and idle codewords re-encode to themselves.
    EXPECT_EQ(g::PocsagEncodeBch(kSync >> 11), kSync);
    EXPECT_EQ(g::PocsagEncodeBch(kIdle >> 11), kIdle);
    EXPECT_EQ(g::PocsagCheckRemainder(kSync ^ 1u), 0u);
    EXPECT_EQ(g::PocsagCheckRemainder(kSync ^ 2u), 1u);
    EXPECT_EQ(g::PocsagCheckRemainder(kSync ^ 0x80000000u), 948u);
    EXPECT_FALSE(g::PocsagParityEven(kSync ^ 1u));
}

TEST(PocsagGenBch, EveryEncodedWordIsValidWithEvenParityAndItsData) {
    std::uint32_t x = 12345;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1103515245u + 12345u;
        const std::uint32_t data = (x >> 7) & 0x1FFFFFu;
        const std::uint32_t cw = g::PocsagEncodeBch(data);
        ASSERT_EQ(cw >> 11, data);
        ASSERT_EQ(ReferenceRemainder(cw), 0u) << std::hex << cw;
        ASSERT_EQ(Ones(cw) % 2, 0) << std::hex << cw;
    }
    // A single flipped bit among bits 31..1 always shows, each with its own remainder.
    const std::uint32_t cw = g::PocsagEncodeBch(0x12345u);
    std::vector<std::uint32_t> seen;
    for (int b = 1; b < 32; ++b) {
        const std::uint32_t r = g::PocsagCheckRemainder(cw ^ (1u << b));
        EXPECT_EQ(r, ReferenceRemainder(cw ^ (1u << b)));
        EXPECT_NE(r, 0u);
        for (std::uint32_t s : seen) EXPECT_NE(r, s);
        seen.push_back(r);
    }
}

// ---- reference reader of batches ----

struct Call {
    std::uint32_t address = 0;
    int function = 0;
    std::vector<std::uint32_t> words;
};

// Splits batches into calls, checking the batch structure on the way.
std::vector<Call> ReadBatches(const std::vector<std::uint32_t>& cws) {
    EXPECT_EQ(cws.size() % 17, 0u);
    std::vector<Call> calls;
    bool inCall = false;
    for (std::size_t i = 0; i < cws.size(); ++i) {
        const std::uint32_t cw = cws[i];
        EXPECT_EQ(ReferenceRemainder(cw), 0u) << i;
        EXPECT_EQ(Ones(cw) % 2, 0) << i;
        if (i % 17 == 0) {
            EXPECT_EQ(cw, kSync) << i;
            continue;
        }
        const int frame = static_cast<int>((i % 17 - 1) / 2);
        if (cw >> 31) {
            EXPECT_TRUE(inCall) << "message codeword without address at " << i;
            if (inCall) calls.back().words.push_back(cw);
        } else if (cw == kIdle) {
            inCall = false;
        } else {
            calls.push_back({((cw >> 13) & 0x3FFFFu) * 8u + static_cast<std::uint32_t>(frame), static_cast<int>((cw >> 11) & 3u), {}});
            inCall = true;
        }
    }
    return calls;
}

std::string Digits(const std::vector<std::uint32_t>& words) {
    static const char table[] = "0123456789 U -][";
    std::string s;
    for (std::uint32_t cw : words)
        for (int i = 0; i < 5; ++i) {
            const int v = ((cw >> (30 - 4 * i)) & 1) + 2 * ((cw >> (29 - 4 * i)) & 1) + 4 * ((cw >> (28 - 4 * i)) & 1) +
                          8 * ((cw >> (27 - 4 * i)) & 1);
            s += table[v];
        }
    return s;
}

// 7-bit codes as Windows-1252 bytes (German letters on the bracket codes).
std::string Chars(const std::vector<std::uint32_t>& words) {
    std::string s;
    int bits = 0, count = 0;
    for (std::uint32_t cw : words)
        for (int b = 30; b >= 11; --b) {
            bits |= static_cast<int>((cw >> b) & 1u) << count;
            if (++count == 7) {
                switch (bits) {
                    case 91: s += '\xC4'; break;
                    case 92: s += '\xD6'; break;
                    case 93: s += '\xDC'; break;
                    case 123: s += '\xE4'; break;
                    case 124: s += '\xF6'; break;
                    case 125: s += '\xFC'; break;
                    case 126: s += '\xDF'; break;
                    default: s += static_cast<char>(bits);
                }
                bits = 0;
                count = 0;
            }
        }
    return s;
}

TEST(PocsagGenMessages, AddressFunctionAndFramePlacement) {
    // Frame 3, then frame 1 (already passed: next batch), then frame 1 again
    // directly behind, then frame 7.
    const std::vector<PocsagMessage> in = {
        {1234563, 2, Kind::ToneOnly, ""}, {9, 1, Kind::ToneOnly, ""}, {2097145, 3, Kind::ToneOnly, ""}, {15, 0, Kind::ToneOnly, ""}};
    const auto cws = g::PocsagCodewords(in);
    ASSERT_EQ(cws.size(), 51u);
    EXPECT_EQ(cws[7] >> 31, 0u);  // frame 3, first codeword
    EXPECT_EQ(cws[17 + 3], g::PocsagMessageCodewords(in[1])[0]);
    EXPECT_EQ(cws[17 + 4], g::PocsagMessageCodewords(in[2])[0]);
    EXPECT_EQ(cws[17 + 15], g::PocsagMessageCodewords(in[3])[0]);
    const auto calls = ReadBatches(cws);
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].address, in[i].address);
        EXPECT_EQ(calls[i].function, in[i].function);
        EXPECT_TRUE(calls[i].words.empty());
    }
    // Only one codeword of the batch is left after the last call: a whole idle
    // batch follows.
    for (std::size_t i = 35; i < 51; ++i) EXPECT_EQ(cws[i], kIdle) << i;
}

TEST(PocsagGenMessages, NumericPackingAndPadding) {
    const auto words = g::PocsagMessageCodewords({8, 0, Kind::Numeric, "12345"});
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ((words[1] >> 11) & 0xFFFFFu, 0x84C2Au);
    EXPECT_EQ(words[1] >> 31, 1u);
    const std::string text = "0123456789 U-][ 42";
    const auto calls = ReadBatches(g::PocsagCodewords({{8, 0, Kind::Numeric, text}}));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(Digits(calls[0].words), text + "  ");  // filled up to 20 digits with spaces
}

TEST(PocsagGenMessages, AlphanumericPackingGermanAndControlCharacters) {
    const auto ab = g::PocsagMessageCodewords({1, 3, Kind::Alphanumeric, "AB"});
    ASSERT_EQ(ab.size(), 2u);
    EXPECT_EQ((ab[1] >> 11) & 0xFFFFFu, 0x82870u & ~0x3Fu);  // A, B, six zero bits
    const char utf8[] = "Stra\xC3\x9F" "e \xC3\x84\xC3\x96\xC3\x9C\xC3\xA4\xC3\xB6\xC3\xBC ok\x01\x7F";
    const std::string text(utf8, sizeof utf8 - 1);
    const auto calls = ReadBatches(g::PocsagCodewords({{1234567, 3, Kind::Alphanumeric, text}}));
    ASSERT_EQ(calls.size(), 1u);
    // 18 characters: 126 bits in 7 codewords, 14 spare bits = two NULs.
    ASSERT_EQ(calls[0].words.size(), 7u);
    const char cp1252[] = "Stra\xDF" "e \xC4\xD6\xDC\xE4\xF6\xFC ok\x01\x7F";
    EXPECT_EQ(Chars(calls[0].words), std::string(cp1252, sizeof cp1252 - 1) + std::string(2, '\0'));
}

TEST(PocsagGenMessages, LongMessageRunsAcrossBatchesAndCallsFollowInOrder) {
    std::string text;
    for (int i = 0; i < 400; ++i) text += static_cast<char>('A' + i % 26);
    const std::vector<PocsagMessage> in = {{4006, 3, Kind::Alphanumeric, text}, {42, 0, Kind::Numeric, "110"}, {43, 1, Kind::ToneOnly, ""}};
    const auto cws = g::PocsagCodewords(in);
    const auto calls = ReadBatches(cws);
    ASSERT_EQ(calls.size(), 3u);
    ASSERT_EQ(calls[0].words.size(), 140u);  // 2800 bits
    EXPECT_EQ(Chars(calls[0].words), text);
    EXPECT_EQ(calls[0].address, 4006u);
    EXPECT_EQ(Digits(calls[1].words), "110  ");
    EXPECT_EQ(calls[2].address, 43u);
    // The address codeword sits in frame 6, message codewords follow it at once.
    EXPECT_EQ(cws[13] >> 31, 0u);
    for (int i = 14; i < 17; ++i) EXPECT_EQ(cws[i] >> 31, 1u);
    EXPECT_EQ(cws[17], kSync);
    EXPECT_EQ(cws[18] >> 31, 1u);
    // At least two idle codewords close the transmission.
    EXPECT_EQ(cws[cws.size() - 1], kIdle);
    EXPECT_EQ(cws[cws.size() - 2], kIdle);
}

TEST(PocsagGenMessages, FlipsInvertChosenBitsAndEveryWordButTheSyncs) {
    // Two batches: the address in frame 7, its message running on.
    const auto clean = g::PocsagCodewords({{1234567, 3, Kind::Alphanumeric, "Flip"}});
    ASSERT_EQ(clean.size(), 34u);
    auto one = clean;
    g::PocsagFlipBits(one, {{15, (1u << 31) | 1u}, {15, 1u}});  // flips in turn: bit 0 back
    for (std::size_t i = 0; i < clean.size(); ++i) EXPECT_EQ(one[i] ^ clean[i], i == 15 ? 1u << 31 : 0u) << i;
    auto all = clean;
    g::PocsagFlipBits(all, {{g::kPocsagEveryCodeword, (1u << 30) | (1u << 2)}});
    for (std::size_t i = 0; i < clean.size(); ++i)
        EXPECT_EQ(all[i] ^ clean[i], i % 17 == 0 ? 0u : (1u << 30) | (1u << 2)) << i;
    EXPECT_THROW(g::PocsagFlipBits(all, {{34, 1u}}), std::invalid_argument);
}

TEST(PocsagGenMessages, EmptyTransmissionAndRejectedMessages) {
    const auto idle = g::PocsagCodewords({});
    ASSERT_EQ(idle.size(), 17u);
    for (std::size_t i = 1; i < 17; ++i) EXPECT_EQ(idle[i], kIdle);
    EXPECT_NE(g::PocsagCheckMessage({1, 0, Kind::Numeric, "12a"}), "");
    EXPECT_NE(g::PocsagCheckMessage({1, 0, Kind::Alphanumeric, "\xE2\x82\xAC"}), "");  // euro sign
    EXPECT_NE(g::PocsagCheckMessage({1, 0, Kind::Alphanumeric, "\xC3"}), "");          // cut UTF-8
    EXPECT_NE(g::PocsagCheckMessage({1, 4, Kind::ToneOnly, ""}), "");
    EXPECT_NE(g::PocsagCheckMessage({0x200000u, 0, Kind::ToneOnly, ""}), "");
    EXPECT_EQ(g::PocsagCheckMessage({0x1FFFFFu, 3, Kind::Alphanumeric, "[ok]"}), "");
    EXPECT_THROW(g::PocsagCodewords({{1, 0, Kind::Numeric, "x"}}), std::invalid_argument);
}

// ---- waveform ----

std::vector<std::uint32_t> SampleCodewords() {
    return g::PocsagCodewords({{1234567, 3, Kind::Alphanumeric, "Probealarm Wache 3"}, {8, 0, Kind::Numeric, "0911 112"},
                               {17, 1, Kind::ToneOnly, ""}});
}

TEST(PocsagGenWaveform, LengthLevelPolarityAndBitValues) {
    const auto cws = SampleCodewords();
    const auto bits = g::PocsagTransmissionBits(576, cws);
    ASSERT_EQ(bits.size(), 576 + 32 * cws.size());
    EXPECT_EQ(bits[0], 1);
    EXPECT_EQ(bits[575], 0);
    for (const double rate : {512.0, 1200.0, 2400.0, 1234.5}) {
        for (const int fs : {11025, 48000}) {
            g::PocsagSignal s;
            s.bitRate = rate;
            s.sampleRate = fs;
            s.level = 8000;
            const auto w = g::PocsagWaveform(s, cws);
            ASSERT_EQ(static_cast<long long>(w.size()), std::llround(static_cast<double>(bits.size()) * fs / rate));
            double peak = 0, sum = 0;
            for (double x : w) {
                peak = std::max(peak, std::abs(x));
                sum += x;
            }
            EXPECT_NEAR(peak, 8000.0, 1e-6);
            EXPECT_LT(std::abs(sum / static_cast<double>(w.size())), 0.02 * 8000) << rate;
            // At every bit centre the discriminator shows the bit: 1 positive.
            for (std::size_t k = 1; k + 1 < bits.size(); ++k) {
                const auto n = static_cast<std::size_t>((static_cast<double>(k) + 0.5) * fs / rate);
                ASSERT_GT((bits[k] ? 1 : -1) * w[n], 0.3 * 8000) << "rate " << rate << " bit " << k;
            }
            s.inverted = true;
            const auto inv = g::PocsagWaveform(s, cws);
            ASSERT_EQ(inv.size(), w.size());
            for (std::size_t n = 0; n < w.size(); ++n) ASSERT_DOUBLE_EQ(inv[n], -w[n]);
        }
    }
    g::PocsagSignal bad;
    bad.bitRate = 2900;
    EXPECT_THROW(g::PocsagWaveform(bad, cws), std::invalid_argument);
}

TEST(PocsagGenWaveform, EdgesAtFractionalBitTimes) {
    // 11025 / 1234.5 = 8.93... samples per bit: edges fall between samples. In the
    // middle of the preamble each edge crosses zero at its exact time.
    g::PocsagSignal s;
    s.bitRate = 1234.5;
    const auto w = g::PocsagWaveform(s, SampleCodewords());
    const double perBit = 11025.0 / 1234.5;
    double worst = 0;
    for (int k = 200; k < 400; ++k) {
        const double t = k * perBit;  // edge time in samples
        auto n = static_cast<std::size_t>(std::floor(t)) - 1;
        while (n < static_cast<std::size_t>(t) + 1 && w[n] * w[n + 1] >= 0.0) ++n;
        ASSERT_LT(w[n] * w[n + 1], 0.0) << "no zero crossing at bit " << k;
        const double crossing = static_cast<double>(n) + w[n] / (w[n] - w[n + 1]);
        worst = std::max(worst, std::abs(crossing - t));
    }
    EXPECT_LT(worst, 0.05);
}

// A receiving front end: normalise, the six-tap filter of the receiver tap, and
// the distances between successive half-wave peaks, signed with their polarity.
std::vector<double> MeasureRuns(const std::vector<double>& x, bool lineOutput) {
    static const double discriminator[6] = {-1, -1, -1, 1, 1, 1};
    double inPeak = 0, filterPeak = 0, history[6] = {0, 0, 0, 0, 0, 0}, peakValue = 0;
    int polarity = 1;
    long peakIndex = 0, prevPeakIndex = 0;
    std::vector<double> runs;
    for (long i = 0; i < static_cast<long>(x.size()); ++i) {
        double v = x[static_cast<std::size_t>(i)];
        inPeak = std::abs(v) > inPeak ? std::abs(v) : inPeak * 0.9999;
        v /= std::max(inPeak, 1.0);
        for (int k = 5; k > 0; --k) history[k] = history[k - 1];
        history[0] = v;
        double y = 0;
        for (int k = 0; k < 6; ++k) y += (lineOutput ? 1.0 : discriminator[k]) * history[k];
        filterPeak = y > filterPeak ? y : filterPeak * 0.9999;
        y /= std::max(filterPeak, 1.0);
        if (polarity * y > peakValue) {
            peakValue = polarity * y;
            peakIndex = i;
        }
        if (polarity * y < -0.3) {
            runs.push_back(static_cast<double>((peakIndex - prevPeakIndex) * polarity));
            polarity = y > 0 ? 1 : -1;
            peakValue = polarity * y;
            prevPeakIndex = peakIndex;
            peakIndex = i;
        }
    }
    return runs;
}

// Slices runs into bits, finds the sync codeword in either polarity and counts
// the codewords after it that come out exactly as sent.
int CodewordsRecovered(const std::vector<double>& runs, double samplesPerBit, const std::vector<std::uint32_t>& cws) {
    std::vector<int> bits;
    for (double r : runs)
        for (long q = std::lround(std::abs(r) / samplesPerBit); q > 0; --q) bits.push_back(r > 0);
    std::uint32_t shift = 0;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        shift = (shift << 1) | static_cast<std::uint32_t>(bits[i]);
        if (shift != kSync && ~shift != kSync) continue;
        const bool inverted = shift != kSync;
        int ok = 0;
        std::size_t p = i + 1;
        for (std::size_t k = 1; k < cws.size() && p + 32 <= bits.size(); ++k, p += 32) {
            std::uint32_t w = 0;
            for (int j = 0; j < 32; ++j) w = (w << 1) | static_cast<std::uint32_t>(bits[p + static_cast<std::size_t>(j)]);
            if (inverted) w = ~w;
            if (w != cws[k]) break;
            ++ok;
        }
        return ok;
    }
    return -1;
}

TEST(PocsagGenWaveform, RunsMeasurableThroughBothReceiverTaps) {
    const auto cws = SampleCodewords();
    struct Case {
        double rate;
        g::PocsagSignal::Output output;
        bool inverted;
    };
    const Case cases[] = {
        {512, g::PocsagSignal::Output::Discriminator, false},  {1200, g::PocsagSignal::Output::Discriminator, true},
        {2400, g::PocsagSignal::Output::Discriminator, false}, {800, g::PocsagSignal::Output::Discriminator, false},
        {2000, g::PocsagSignal::Output::Discriminator, true},  {512, g::PocsagSignal::Output::LineOutput, false},
        {1200, g::PocsagSignal::Output::LineOutput, true},     {800, g::PocsagSignal::Output::LineOutput, false},
    };
    for (const Case& c : cases) {
        g::PocsagSignal s;
        s.bitRate = c.rate;
        s.output = c.output;
        s.inverted = c.inverted;
        std::vector<double> x(2000, 0.0);
        const auto w = g::PocsagWaveform(s, cws);
        x.insert(x.end(), w.begin(), w.end());
        x.resize(x.size() + 2000, 0.0);
        const bool line = c.output == g::PocsagSignal::Output::LineOutput;
        // All but the last codeword: its final run is only closed by an edge that never comes.
        EXPECT_GE(CodewordsRecovered(MeasureRuns(x, line), 11025.0 / c.rate, cws), static_cast<int>(cws.size()) - 2)
            << c.rate << " bit/s, line " << line;
    }
}

// ---- the command ----

TEST(PocsagGenCommand, WritesTransmissionsAndRejectsBadCalls) {
    const std::string path = ::testing::TempDir() + "pocsag_gen_test.wav";
    const auto ok = quorvel::testing::RunCommand(std::string(QUORVEL_GEN_PATH) + " pocsag -o " + path +
                                                 " --lead 0.25 --tail 0.25 --gap 1 --bitrate 1200 --call 1234567,3,alpha,'Hi, there'"
                                                 " --call next --call 8,0,tone");
    ASSERT_EQ(ok.status, 0) << ok.err;
    // The first call (frame 7) runs into a second batch, the second fits one.
    const long long first = std::llround((576.0 + 34 * 32) * 11025 / 1200);
    const long long second = std::llround((576.0 + 17 * 32) * 11025 / 1200);
    const long long frames = first + second + 11025 + 2 * std::llround(0.25 * 11025);
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(f.good());
    EXPECT_EQ(static_cast<long long>(f.tellg()), 44 + frames * 4);
    std::remove(path.c_str());

    for (const char* bad : {"--call 1,0,numeric,12a", "--call 1,9,tone", "--call 1,0,morse", "--call 1,0,tone --bitrate 300"}) {
        const auto r = quorvel::testing::RunCommand(std::string(QUORVEL_GEN_PATH) + " pocsag -o " + path + " " + bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_FALSE(r.err.empty()) << bad;
    }
}

}  // namespace
