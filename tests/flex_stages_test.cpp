// The FLEX air format and the decoder's stages, each alone: words and BCH,
// check characters, addresses, vectors, message packing, interleaving, symbol
// mapping, sync search, fragment joining.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include <bit>
#include <random>

#include "core/sensitive/flex_protocol.h"
#include "core/sensitive/flex_stages.h"
#include "gen/flex_gen.h"
#include "gen/signal.h"

namespace quorvel::flex {
namespace {

TEST(FlexWords, EncodesTheKnownWords) {
    struct Case {
        std::uint32_t info, word;
    };
    // FIW cycle 0 frame 0, short address 123456, BIW1 with vector start 2.
    for (const Case c : {Case{0x00000F, 0xC140000F}, Case{0x026240, 0xBAC26240}, Case{0x000807, 0x19400807}}) {
        EXPECT_EQ(Encode(c.info), c.word) << std::hex << c.info;
        EXPECT_EQ(Syndrome(c.word), 0u);
        EXPECT_EQ(Syndrome(c.word ^ 0x80000000u), 0u) << "bit 31 is outside the code";
    }
    EXPECT_EQ(FiwInfo(0, 0), 0x00000Fu);
    EXPECT_EQ(Biw1Info(0, 2) & 0x1FFFF0u, 0x000800u);
}

TEST(FlexWords, CorrectsEveryOneAndTwoBitError) {
    const Corrector corrector;
    std::mt19937 random(7);
    for (int n = 0; n < 4; ++n) {
        const std::uint32_t word = Encode(random() & 0x1FFFFFu);
        const std::uint32_t body = word & 0x7FFFFFFFu;
        for (int i = 0; i < 31; ++i) {
            for (int j = i; j < 31; ++j) {
                const std::uint32_t error = (1u << i) | (1u << j);
                const Corrected c = corrector.Hard(word ^ error);
                ASSERT_TRUE(c.ok) << i << " " << j;
                ASSERT_EQ(c.word, body);
                ASSERT_EQ(c.flipped, std::popcount(error));
            }
        }
        // The parity bit is never relied on.
        EXPECT_EQ(corrector.Hard(word ^ 0x80000000u).flipped, 0);
        // Three wrong bits are not within reach of the hard decision ...
        const std::uint32_t three = (1u << 3) | (1u << 14) | (1u << 27);
        EXPECT_FALSE(corrector.Hard(word ^ three).ok && corrector.Hard(word ^ three).word == body);
        // ... but the soft one flips the least reliable bits first.
        std::array<float, 32> soft{};
        for (int k = 0; k < 32; ++k) {
            const bool one = (((word ^ three) >> k) & 1u) != 0;
            const float strength = ((three >> k) & 1u) != 0 ? 0.1f : 1.0f;
            soft[static_cast<std::size_t>(k)] = one ? strength : -strength;
        }
        const Corrected s = corrector.Soft(word ^ three, soft, Corrector::WideChaseBits);
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.word, body);
        EXPECT_EQ(s.flipped, 3);
        EXPECT_NEAR(s.cost, 0.3, 1e-6);
        EXPECT_GT(s.margin, 1.0);
    }
}

TEST(FlexWords, TheCheapestCodewordWinsItsRivalSetsTheMarginAndParityWeighsWhenTrusted) {
    // Sent A; B the codeword five bits away (in bits 0..30; so their parity
    // bits differ too). Three of the five bits arrive as B's and two as A's,
    // all weak: without the parity bit B is nearer, with a firm parity bit
    // (A's) A is.
    const Corrector corrector;
    std::uint32_t five = 0;
    for (std::uint32_t x = 1; five == 0; ++x)
        if (std::popcount(Encode(x) & 0x7FFFFFFFu) == 5) five = Encode(x);
    const std::uint32_t a = Encode(0x0A5A5Au);
    const std::uint32_t b = a ^ five;
    ASSERT_NE(a >> 31, b >> 31);
    std::uint32_t received = a;
    std::array<float, 32> soft{};
    int taken = 0;
    for (int k = 0; k < 32; ++k) {
        const bool differs = ((five >> k) & 1u) != 0 && k < 31;
        if (differs && taken++ < 3) received ^= 1u << k;
        const bool one = ((received >> k) & 1u) != 0;
        const float strength = differs ? 0.1f : 1.0f;
        soft[static_cast<std::size_t>(k)] = one ? strength : -strength;
    }
    struct Case {
        bool parity;
        std::uint32_t best, rival;
        double cost, margin;
    };
    for (const Case c : {Case{false, b, a, 0.2, 0.1}, Case{true, a, b, 0.3, 0.9}}) {
        const Corrected r = corrector.Soft(received, soft, Corrector::WideChaseBits, c.parity);
        ASSERT_TRUE(r.ok) << c.parity;
        EXPECT_EQ(r.word, c.best & 0x7FFFFFFFu) << c.parity;
        EXPECT_EQ(r.rival, c.rival & 0x7FFFFFFFu) << c.parity;
        EXPECT_NEAR(r.cost, c.cost, 1e-5) << c.parity;
        EXPECT_NEAR(r.margin, c.margin, 1e-5) << c.parity;
        EXPECT_EQ(r.received, received & 0x7FFFFFFFu);
        EXPECT_EQ(r.parityEven, c.best == a) << "the received bit 31 is A's";
    }
}

TEST(FlexWords, CheckCharacterOfTheFrameInformationWord) {
    for (int cycle = 0; cycle < Cycles; ++cycle)
        for (int frame = 0; frame < Frames; frame += 9) {
            const std::uint32_t info = FiwInfo(cycle, frame);
            Fiw fiw;
            ASSERT_TRUE(ParseFiw(info, fiw));
            EXPECT_EQ(fiw.cycle, cycle);
            EXPECT_EQ(fiw.frame, frame);
            EXPECT_FALSE(ParseFiw(info ^ 0x1u, fiw)) << "one bit of the check changed";
            EXPECT_FALSE(ParseFiw(info ^ 0x100u, fiw)) << "one bit of the frame changed";
        }
    Fiw fiw;
    EXPECT_FALSE(ParseFiw(WithCheckCharacter(15u << 4), fiw)) << "cycle 15 does not exist";
}

TEST(FlexAddresses, CapcodesAndTheirWords) {
    struct Case {
        std::uint64_t capcode;
        int count;
        std::uint32_t first, second;
        AddressWord firstKind;
    };
    const Case cases[] = {
        {1, 1, 0x008001, 0, AddressWord::Short},
        {123456, 1, 0x026240, 0, AddressWord::Short},
        {ShortCapcodeMax, 1, 0x1E0000, 0, AddressWord::Short},
        {2009088, 1, 0x1F2800, 0, AddressWord::Short},  // information service
        {2101249, 2, 0x000001, 0x1FFFFE, AddressWord::LongFirst},
        {123456789, 2, 0x003D15, 0x1FF187, AddressWord::LongFirst},  // set 1-2
        {1075843072, 2, 0x008000, 0x1F7FFF, AddressWord::LongFirst},
        {1075843073, 2, 0x000001, 0x1E0001, AddressWord::LongFirst},  // set 1-3
        {2149584897, 2, 0x000001, 0x1E8001, AddressWord::LongFirst},  // set 1-4
        {LongCapcodeMax, 2, 0x008000, 0x1F0000, AddressWord::LongFirst},
    };
    for (const Case& c : cases) {
        std::array<std::uint32_t, 2> words{};
        int count = 0;
        ASSERT_TRUE(AddressWords(c.capcode, words, count)) << c.capcode;
        EXPECT_EQ(count, c.count) << c.capcode;
        EXPECT_EQ(words[0], c.first) << c.capcode;
        EXPECT_EQ(ClassifyAddress(words[0]), c.firstKind);
        if (count == 1) {
            EXPECT_EQ(ShortCapcode(words[0]), c.capcode);
        } else {
            EXPECT_EQ(words[1], c.second) << c.capcode;
            EXPECT_EQ(ClassifyAddress(words[1]), AddressWord::LongSecond);
            EXPECT_EQ(LongCapcode(words[0], words[1]), c.capcode);
        }
    }
    std::array<std::uint32_t, 2> words{};
    int count = 0;
    for (const std::uint64_t none : {std::uint64_t{0}, std::uint64_t{1933313}, std::uint64_t{2101248}, LongCapcodeMax + 1})
        EXPECT_FALSE(AddressWords(none, words, count)) << none;
    EXPECT_EQ(ClassifyAddress(0), AddressWord::Idle);
    EXPECT_EQ(ClassifyAddress(0x1FFFFF), AddressWord::Idle);
}

TEST(FlexVectors, FieldsRoundTrip) {
    Vector alpha;
    alpha.type = VectorType::Alpha;
    alpha.start = 3;
    alpha.words = 6;
    // The reference layout: V = 5 at i4-i6, b = 3 at i7-i13, n = 6 at i14-i20.
    EXPECT_EQ(VectorInfo(alpha) & 0x1FFFF0u, (5u << 4) | (3u << 7) | (6u << 14));
    Vector numeric;
    numeric.type = VectorType::Numeric;
    numeric.start = 40;
    numeric.words = 8;
    numeric.numericCheckLow = 0xA;
    Vector tone;
    tone.type = VectorType::ShortMessage;
    tone.shortKind = 1;
    tone.shortData = 5;
    for (const Vector& v : {alpha, numeric, tone}) {
        const std::uint32_t info = VectorInfo(v);
        EXPECT_TRUE(CheckCharacterFits(info));
        const Vector back = ParseVector(info);
        EXPECT_EQ(back.type, v.type);
        EXPECT_EQ(back.start, v.type == VectorType::ShortMessage ? 0 : v.start);
        EXPECT_EQ(back.words, v.type == VectorType::ShortMessage ? 0 : v.words);
        EXPECT_EQ(back.numericCheckLow, v.numericCheckLow);
        EXPECT_EQ(back.shortKind, v.shortKind);
        EXPECT_EQ(back.shortData, v.shortData);
    }
    const Biw1 b = ParseBiw1(Biw1Info(2, 17));
    EXPECT_EQ(b.extraBiws, 2);
    EXPECT_EQ(b.vectorStart, 17);
}

TEST(FlexMessages, AlphanumericUnpacking) {
    // Signature, 'F', 'L' / 'E', 'X', ETX / fill.
    const std::uint32_t body[] = {0x7Fu | ('F' << 7) | ('L' << 14), 'E' | ('X' << 7) | (EtxFill << 14),
                                  EtxFill | (EtxFill << 7) | (0 << 14)};
    std::string text;
    int signature = 0;
    UnpackAlpha(body, text, signature);
    EXPECT_EQ(text, "FLEX");
    EXPECT_EQ(signature, 0x7F);
    EXPECT_EQ(Signature("FLEX"), static_cast<int>(~('F' + 'L' + 'E' + 'X') & 0x7F));

    // The check fits with the header counted or not, and not once a word changes.
    std::uint32_t words[] = {AlphaHeaderInfo({}), body[0], body[1]};
    AlphaHeader h;
    for (const bool withHeader : {true, false}) {
        h.check = static_cast<int>(FragmentCheck(words, withHeader));
        words[0] = AlphaHeaderInfo(h);
        EXPECT_TRUE(FragmentCheckFits(words));
        words[2] ^= 1u << 3;
        EXPECT_FALSE(FragmentCheckFits(words));
        words[2] ^= 1u << 3;
    }
    const int codes[] = {3, 0, 1, 2, 0, 1, 2};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(FragmentCode(i), codes[i]);

    // The signature fits with the fill left out or counted; a character
    // changed, or two whose sum changes, and it does not.
    const auto withSignature = [&](int sig) {
        std::uint32_t b[] = {body[0], body[1], body[2]};
        b[0] = (b[0] & ~0x7Fu) | static_cast<std::uint32_t>(sig);
        return std::vector<std::uint32_t>(std::begin(b), std::end(b));
    };
    EXPECT_TRUE(SignatureFits(withSignature(Signature("FLEX"))));
    const int withFill = static_cast<int>(~('F' + 'L' + 'E' + 'X' + 3 * EtxFill) & 0x7F);
    EXPECT_TRUE(SignatureFits(withSignature(withFill)));
    auto changed = withSignature(Signature("FLEX"));
    changed[1] ^= 1u << 2;  // 'E' -> 'A'
    EXPECT_FALSE(SignatureFits(changed));
    changed[1] ^= (1u << 2) | (1u << 7) | (1u << 8);  // 'E' back, 'X' -> '[': +3, as much as one ETX
    EXPECT_FALSE(SignatureFits(changed));
    EXPECT_FALSE(SignatureFits({}));
}

TEST(FlexMessages, NumericUnpackingAcrossWords) {
    // K4/K5 in bits 0-1, then digits of 4 bits from bit 2, running on across
    // the 21-bit words: the fifth digit straddles words 1 and 2.
    const std::string digits = "0123-U[]98765";
    std::uint64_t stream = 0x3;  // K4, K5
    int at = 2;
    for (const char c : digits) {
        stream |= static_cast<std::uint64_t>(NumericCode(c)) << at;
        at += 4;
    }
    for (; at + 4 <= 63; at += 4) stream |= static_cast<std::uint64_t>(NumericSpace) << at;
    const std::uint32_t words[] = {static_cast<std::uint32_t>(stream & 0x1FFFFF), static_cast<std::uint32_t>((stream >> 21) & 0x1FFFFF),
                                   static_cast<std::uint32_t>((stream >> 42) & 0x1FFFFF)};
    std::string text;
    UnpackNumeric(words, text);
    EXPECT_EQ(text, digits);
    for (const bool withVector : {false, true}) {
        const std::uint32_t vector = 0x12345u;
        const int k = NumericCheck(words, vector, withVector);
        std::uint32_t checked[] = {(words[0] & ~3u) | static_cast<std::uint32_t>(k >> 4), words[1], words[2]};
        EXPECT_TRUE(NumericCheckFits(checked, (vector & 0x01FFFFu) | static_cast<std::uint32_t>(k & 0xF) << 17));
    }
}

TEST(FlexInterleaving, BlockBitsGoColumnByColumn) {
    // Bit j of a phase's stream within block n is bit j / 8 of word 8n + j % 8.
    for (int w = 0; w < WordsPerPhase; ++w)
        for (int k = 0; k < 32; ++k) {
            const int j = FrameBuffer::Position(w, k);
            ASSERT_EQ(j / 256, w / 8);
            ASSERT_EQ((j % 256) / 8, k);
            ASSERT_EQ((j % 256) % 8, w % 8);
        }
    // The generator's symbols read back through the frame buffer give its words.
    gen::FlexTransmission t;
    t.mode = Mode::M6400_4;
    t.pages = {{123456, gen::FlexPageToSend::Kind::Alpha, "abc", {}, 3}};
    const auto frames = gen::FlexFrames(t);
    const gen::FlexSymbols symbols = gen::FlexFrameSymbols(t.mode, frames);
    const std::size_t data = static_cast<std::size_t>(Sync1Lead + Sync2Offset + 2 * (BlockOffset - Sync2Offset));
    ASSERT_EQ(symbols.levels.size(), data + 2 * BitsPerPhase);
    Slicer slicer;
    slicer.Start(0.0, 1.0, 4);
    FrameBuffer buffer;
    for (int s = 0; s < 2 * BitsPerPhase; ++s) {
        float first = 0, second = 0;
        slicer.Soft(symbols.levels[data + static_cast<std::size_t>(s)], first, second);
        buffer.Put((s & 1) != 0 ? 2 : 0, s / 2, first);
        buffer.Put((s & 1) != 0 ? 3 : 1, s / 2, second);
    }
    for (int phase = 0; phase < 4; ++phase)
        for (int w = 0; w < WordsPerPhase; ++w) {
            std::array<float, 32> soft{};
            ASSERT_EQ(buffer.Word(phase, w, soft), frames[0].words[static_cast<std::size_t>(phase)][static_cast<std::size_t>(w)]);
        }
}

TEST(FlexSymbols, FourLevelGrayMapping) {
    // first bit, second bit -> level; the slicer's decision and soft bits back.
    struct Case {
        int first, second;
        double level;
    };
    Slicer slicer;
    slicer.Start(0.0, 1.0, 4);
    for (const Case c : {Case{1, 0, 1.0}, Case{1, 1, 1.0 / 3}, Case{0, 1, -1.0 / 3}, Case{0, 0, -1.0}}) {
        EXPECT_DOUBLE_EQ(slicer.Decide(c.level * 0.9), c.level);
        float first = 0, second = 0;
        slicer.Soft(c.level, first, second);
        EXPECT_EQ(first > 0, c.first == 1);
        EXPECT_EQ(second > 0, c.second == 1);
        EXPECT_NEAR(std::fabs(second), 1.0, 1e-6) << "clean levels are one half-distance from the thresholds";
    }
}

TEST(FlexSync, FindsEveryModeInBothPolarities) {
    for (int m = 0; m < ModeCount; ++m)
        for (const bool inverted : {false, true})
        for (const double snr : {6.0, 0.0}) {
            gen::FlexTransmission t;
            t.mode = static_cast<Mode>(m);
            gen::FlexSignal s;
            s.mode = t.mode;
            s.inverted = inverted;
            s.level = 8000.0;
            std::vector<double> wave(3000, 0.0);
            const auto frame = gen::FlexWaveform(s, gen::FlexFrames(t));
            wave.insert(wave.end(), frame.begin(), frame.begin() + 6000);
            gen::AddNoise(wave, 8000.0 * 8000.0, snr, 5 + static_cast<std::uint64_t>(m) + (inverted ? 10 : 0));
            SyncSearch search;
            int hits = 0;
            SyncHit hit;
            for (std::size_t i = 0; i < wave.size(); ++i)
                if (search.Step(wave[i], static_cast<std::int64_t>(i))) {
                    hit = search.Hit();
                    ++hits;
                }
            ASSERT_EQ(hits, 1) << Info(t.mode).name << (inverted ? " inverted" : "") << " " << snr << " dB";
            EXPECT_EQ(hit.mode, t.mode);
            EXPECT_EQ(hit.inverted, inverted);
            // A begins after 32 symbols of bit sync.
            EXPECT_NEAR(hit.aStart, 3000.0 + Sync1Lead * HeaderPeriod, 1.5);
            EXPECT_NEAR(hit.amplitude / 8000.0, 0.8, 0.2) << "the outer level, a little below the peak";
            EXPECT_NEAR(hit.score, hit.amplitude, 0.05 * hit.amplitude) << "the whole window, the mode's symbols too, fits";
        }
}

TEST(FlexPulse, TheFilterSmoothsAnEdgeAsTheShapingDoesWithoutGainOrShift) {
    // The shaping's width: transmitter 0.8 x the symbol rate and a 4 kHz IF,
    // sqrt(ln 2) / (2 pi B) each, in samples at 11025 Hz.
    EXPECT_NEAR(PulseFilter::ShapeSigma(1600), 1.199, 0.002);
    EXPECT_NEAR(PulseFilter::ShapeSigma(3200), 0.677, 0.002);
    std::vector<double> sharp;
    for (const int rate : {3200, 1600}) {
        PulseFilter f(PulseFilter::ShapeSigma(rate));
        // A step between samples 19 and 20 comes out Delay late: levels as
        // they were, the edge odd-symmetric about its own time, rising all
        // the way, and wider for the slower rate.
        std::vector<double> out;
        for (int n = 0; n < 40; ++n) out.push_back(f.Step(n >= 20 ? 1.0 : -1.0));
        const auto at = [&out](int n) { return out[static_cast<std::size_t>(n + PulseFilter::Delay)]; };
        EXPECT_DOUBLE_EQ(at(10), -1.0) << rate;
        EXPECT_NEAR(at(30), 1.0, 1e-12) << rate;
        for (int k = 0; k < 6; ++k) {
            EXPECT_NEAR(at(20 + k), -at(19 - k), 1e-12) << rate << " " << k;
            EXPECT_GT(at(20 + k), at(19 + k) - 1e-12) << rate << " " << k;
        }
        EXPECT_LT(at(20), 1.0) << rate;
        if (!sharp.empty()) {
            EXPECT_LT(at(20), sharp[0]) << "the slower symbol's shaping is wider";
        }
        sharp.push_back(at(20));
    }
}

TEST(FlexPulse, TheLineEqualiserGivesTheLevelsBackFromTheLineOutput) {
    // Random NRZ symbols at either rate through the receiver's audio path:
    // what the line output shows of the levels (best gain, best delay) and
    // what the equaliser gives back Delay samples late.
    for (const double period : {HeaderPeriod, HeaderPeriod / 2}) {
        std::mt19937 rng(7);
        std::vector<double> levels;
        for (int k = 0; levels.size() < 20000; ++k) {
            const double v = (rng() & 1u) != 0 ? 1.0 : -1.0;
            while (levels.size() < static_cast<std::size_t>((k + 1) * period)) levels.push_back(v);
        }
        const auto h = sensitive::LineImpulseResponse();
        LineEqualiser eq(LineEqualiser::Design(period, 0.2));
        std::vector<double> line(levels.size()), back(levels.size());
        for (std::size_t n = 0; n < levels.size(); ++n) {
            for (std::size_t k = 0; k < h.size() && k <= n; ++k) line[n] += h[k] * levels[n - k];
            back[n] = eq.Step(line[n]);
        }
        // Mean squared error against the levels `lag` samples before, at the
        // gain that fits best.
        const auto error = [&levels](const std::vector<double>& y, int lag) {
            double yy = 0.0, xy = 0.0, xx = 0.0;
            for (std::size_t n = 1000; n < y.size(); ++n) {
                const double x = levels[n - static_cast<std::size_t>(lag)];
                yy += y[n] * y[n];
                xy += x * y[n];
                xx += x * x;
            }
            return 1.0 - xy * xy / (xx * yy);
        };
        double raw = 1.0;
        for (int lag = 0; lag < 20; ++lag) raw = std::min(raw, error(line, lag));
        const double equalised = error(back, LineEqualiser::Delay);
        EXPECT_GT(raw, 0.4) << period << ": the line output alone is far from the levels";
        EXPECT_LT(equalised, 0.2) << period;
        for (int lag : {LineEqualiser::Delay - 3, LineEqualiser::Delay + 3}) EXPECT_GT(error(back, lag), equalised) << period << " " << lag;
    }
}

TEST(FlexClock, TracksAThousandPpmAt3200SymbolsPerSecond) {
    // Random two-level symbols whose clock runs 1000 ppm off either way, as
    // rectangles with noise; the clock starts on the first symbol with the
    // nominal period and follows on the transitions alone.
    for (const double ppm : {1000.0, -1000.0}) {
        const double nominal = SampleRateHz / 3200.0;
        const double period = nominal / (1.0 + ppm * 1e-6);
        std::mt19937 random(3);
        constexpr int kSymbols = 6000;
        std::vector<int> sent(kSymbols);
        for (int& b : sent) b = static_cast<int>(random() & 1u);
        gen::NoiseSource noise(4);
        const auto samples = static_cast<std::int64_t>(kSymbols * period) - 8;
        std::vector<double> wave(static_cast<std::size_t>(samples));
        for (std::int64_t n = 0; n < samples; ++n) {
            // Sample n holds the signal from n to n + 1: the mean of the symbols there.
            double v = 0.0;
            for (int q = 0; q < 8; ++q) {
                const auto k = static_cast<std::size_t>((static_cast<double>(n) + (q + 0.5) / 8.0) / period);
                v += sent[k] != 0 ? 1.0 : -1.0;
            }
            wave[static_cast<std::size_t>(n)] = v / 8.0 + 0.3 * noise.Gaussian();
        }
        SymbolClock clock;
        clock.Start(0.0, nominal);
        clock.SetGains(0.03, 0.0004);
        Symbol s;
        int k = 0, wrong = 0, previous = 0;
        // The ring holds the last 4096 samples: read as they come.
        sensitive::SampleRing live;
        for (std::int64_t n = 0; n < samples; ++n) {
            live.Put(n, wave[static_cast<std::size_t>(n)]);
            while (clock.Next(live, n + 1, s)) {
                const int d = s.value > 0.0 ? 1 : -1;
                if (k > 0 && d != previous) clock.Correct((s.mid - 0.5 * (d + previous)) / (d - previous));
                if (k >= 1000 && k < kSymbols - 2 && (d > 0) != (sent[static_cast<std::size_t>(k)] != 0)) ++wrong;
                previous = d;
                ++k;
            }
        }
        EXPECT_GT(k, kSymbols - 10);
        EXPECT_LE(wrong, 2) << ppm;
        EXPECT_NEAR(clock.Drift(), -ppm * 1e-6, 3e-4) << ppm;
    }
}

TEST(FlexFragments, JoinedInOrderDroppedOtherwise) {
    FragmentJoiner j;
    std::string text;
    int fragments = 0, corrected = 0;
    using R = FragmentJoiner::Result;
    EXPECT_EQ(j.Add(77, 5, 3, false, 10, "whole", 1, text, fragments, corrected), R::Complete);
    EXPECT_EQ(text, "whole");
    EXPECT_EQ(fragments, 1);
    // 3 (first, more follow), 0, 1, 2, 0 (last): five fragments in five frames.
    const int codes[] = {3, 0, 1, 2, 0};
    for (int i = 0; i < 5; ++i) {
        const R r = j.Add(77, 6, codes[i], i < 4, 20 + i, std::string(1, static_cast<char>('a' + i)), 2, text, fragments, corrected);
        EXPECT_EQ(r, i < 4 ? R::Pending : R::Complete) << i;
    }
    EXPECT_EQ(text, "abcde");
    EXPECT_EQ(fragments, 5);
    EXPECT_EQ(corrected, 10);
    EXPECT_EQ(j.Open(), 0);
    // Out of order: the message is dropped.
    EXPECT_EQ(j.Add(88, 1, 3, true, 30, "x", 0, text, fragments, corrected), R::Pending);
    EXPECT_EQ(j.Add(88, 1, 1, false, 31, "y", 0, text, fragments, corrected), R::Dropped);
    EXPECT_EQ(j.Open(), 0);
    // Another message number of the same capcode is another message; one
    // left waiting too long expires.
    EXPECT_EQ(j.Add(88, 2, 3, true, 1910, "p", 0, text, fragments, corrected), R::Pending);
    EXPECT_EQ(j.Add(88, 3, 0, false, 1911, "q", 0, text, fragments, corrected), R::Dropped);
    EXPECT_EQ(j.Expire(1910 + FragmentJoiner::MaxGapFrames), 0);
    EXPECT_EQ(j.Expire((1910 + FragmentJoiner::MaxGapFrames + 1) % 1920), 1) << "across the end of the hour";
}

}  // namespace
}  // namespace quorvel::flex
