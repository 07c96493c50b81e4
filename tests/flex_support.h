// FLEX signals for the FLEX suites and the sensitivity program: pages from the
// project's generator as a receiver delivers them (symbol clock off nominal,
// receiver low-pass, DC offset, either polarity), noise, the decoder driven
// block by block, and a score of the pages found against the pages sent.
//
// SNR here is the generator's (quorvel-gen --snr): the power of the clean
// signal where it is present over the power of white noise across the whole
// band of the 11025 Hz file (0..5512.5 Hz); or, with FlexScenario::bitRateSnr,
// the POCSAG sensitivity table's: signal power below the bit rate over noise
// power in 0..bit rate (for 6400/4 the white noise's density carried on past
// 5512.5 Hz), i.e. energy per bit over noise density.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/processing.h"
#include "core/sensitive/flex_decoder.h"
#include "gen/flex_gen.h"
#include "gen/signal.h"
#include "signal_power.h"
#include "test_support.h"

namespace quorvel::testing {

using gen::FlexPageToSend;
using flex::Mode;

struct FlexScenario {
    Mode mode = Mode::M1600_2;
    double snrDb = INFINITY;
    double ppm = 0.0;
    bool inverted = false;
    double dcOffset = 500.0;
    double leadSeconds = 0.3;
    double tailSeconds = 0.3;
    std::uint64_t seed = 1;
    int cycle = 3;
    int frame = 5;
    int frames = 1;
    int fragmentChars = 240;
    bool bitRateSnr = false;  // SNR in 0..bit rate (see above)
    bool oddParity = false;   // a sender whose block words carry odd parity
    bool lineOutput = false;  // the receiver's line output, not its discriminator
};

// Bits per second of the blocks: 1600, 3200, 3200, 6400.
inline double FlexBitRate(Mode mode) {
    return static_cast<double>(flex::Info(mode).symbolRate) * (flex::Info(mode).levels == 4 ? 2.0 : 1.0);
}

// `count` pages drawn from `seed` over the phases of the mode: alphanumeric,
// numeric, tone only; short and long capcodes.
inline std::vector<FlexPageToSend> RandomFlexPages(std::uint64_t seed, Mode mode, int count) {
    static const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,:-/()!?";
    static const std::string digits = "0123456789 -U";
    gen::NoiseSource r(seed * 7919 + 17);
    auto pick = [&r](int n) { return std::min(n - 1, static_cast<int>(r.Uniform() * n)); };
    std::vector<FlexPageToSend> out;
    const int phases = flex::Info(mode).phases;
    for (int i = 0; i < count; ++i) {
        FlexPageToSend p;
        p.phase = flex::PhaseLetter(mode, pick(phases));
        p.capcode = pick(5) == 0 ? 2101249ull + static_cast<std::uint64_t>(pick(1000000000))
                                 : 1 + static_cast<std::uint64_t>(pick(1933312));
        const int kind = pick(20);
        if (kind < 12) {
            p.kind = FlexPageToSend::Kind::Alpha;
            const int n = 5 + pick(60);
            for (int k = 0; k < n; ++k) p.text += letters[static_cast<std::size_t>(pick(static_cast<int>(letters.size())))];
        } else if (kind < 17) {
            p.kind = FlexPageToSend::Kind::Numeric;
            const int n = 3 + pick(20);
            for (int k = 0; k < n; ++k) p.text += digits[static_cast<std::size_t>(pick(static_cast<int>(digits.size())))];
            while (p.text.back() == ' ') p.text.back() = '7';
        } else {
            p.kind = FlexPageToSend::Kind::Tone;
        }
        out.push_back(p);
    }
    return out;
}

// Frame t of a sensitivity table cell (bench/flex_sensitivity) whose seeds
// begin at seedBase: SNR as the POCSAG table, half inverted, clock 0, +350,
// -420, +1000, -1000 ppm, DC offset, cycle and frame running on.
inline FlexScenario TableFrame(Mode mode, double snr, std::uint64_t seedBase, int t) {
    static constexpr double kPpms[] = {0.0, 350.0, -420.0, 1000.0, -1000.0};
    FlexScenario s;
    s.mode = mode;
    s.snrDb = snr;
    s.bitRateSnr = true;
    s.inverted = (t % 2) == 1;
    s.ppm = kPpms[t % 5];
    s.dcOffset = 300.0 + 150.0 * (t % 5);
    s.seed = seedBase + static_cast<std::uint64_t>(t);
    s.cycle = t % 15;
    s.frame = (t * 7) % 128;
    return s;
}

// The pages as audio at 11025 Hz with noise and DC offset around them.
// Frames' words as a clean discriminator signal after 4000 samples of silence.
inline std::vector<double> CleanFlexWave(const std::vector<gen::FlexFrameWords>& frames, Mode mode = Mode::M1600_2) {
    gen::FlexSignal sig;
    sig.mode = mode;
    sig.level = 8000.0;
    std::vector<double> wave(4000, 0.0);
    const auto w = gen::FlexWaveform(sig, frames);
    wave.insert(wave.end(), w.begin(), w.end());
    return wave;
}

inline std::vector<double> FlexSamples(const FlexScenario& s, const std::vector<FlexPageToSend>& pages) {
    gen::FlexTransmission t;
    t.mode = s.mode;
    t.cycle = s.cycle;
    t.frame = s.frame;
    t.frames = s.frames;
    t.pages = pages;
    t.fragmentChars = s.fragmentChars;
    gen::FlexSignal sig;
    sig.mode = s.mode;
    sig.inverted = s.inverted;
    sig.clockPpm = s.ppm;
    sig.level = 8000.0;
    if (s.lineOutput) sig.output = gen::FlexSignal::Output::LineOutput;
    std::vector<gen::FlexFrameWords> frames = gen::FlexFrames(t);
    if (s.oddParity)
        for (auto& f : frames)
            for (auto& phase : f.words)
                for (std::uint32_t& w : phase) w ^= 0x80000000u;
    const std::vector<double> wave = gen::FlexWaveform(sig, frames);
    std::vector<double> all(static_cast<std::size_t>(s.leadSeconds * 11025), 0.0);
    all.insert(all.end(), wave.begin(), wave.end());
    all.resize(all.size() + static_cast<std::size_t>(s.tailSeconds * 11025), 0.0);
    if (std::isfinite(s.snrDb) && s.bitRateSnr) {
        const double band = FlexBitRate(s.mode);
        // AddNoise sets signal / (noise over 0..5512.5 Hz).
        gen::AddNoise(all, PowerBelow(wave, std::min(band, 5512.5)), s.snrDb - 10.0 * std::log10(5512.5 / band), s.seed);
    } else if (std::isfinite(s.snrDb)) {
        gen::AddNoise(all, gen::MeanSquare(wave), s.snrDb, s.seed);
    }
    gen::AddOffset(all, s.dcOffset);
    return all;
}

// The FLEX decoder alone, fed block by block; the pages it finds.
struct FlexRig final : EventSink {
    FixedClock clock{DateTime{2024, 5, 6, 14, 3, 7, 0}};
    SharedContext ctx{clock};
    FlexDecoder decoder{ctx};
    std::vector<FlexPage> pages;

    FlexRig() { ctx.events.Subscribe(*this); }
    ~FlexRig() override { ctx.events.Unsubscribe(*this); }
    FlexRig(const FlexRig&) = delete;
    FlexRig& operator=(const FlexRig&) = delete;
    void OnEvent(const Event& e) override {
        if (const auto* p = std::get_if<FlexPage>(&e)) pages.push_back(*p);
    }

    // Samples rounded to 16 bits, as the sound card gives them.
    void Feed(const std::vector<double>& samples) {
        std::size_t at = 0;
        while (at < samples.size()) {
            for (std::size_t i = 0; i < ctx.SampleBlock.size(); ++i) {
                const double v = at + i < samples.size() ? std::clamp(std::nearbyint(samples[at + i]), -32768.0, 32767.0) : 0.0;
                ctx.SampleBlock[i] = v;
            }
            decoder.ProcessBlock();
            ctx.BlockStart += FramesPerBlock;
            at += ctx.SampleBlock.size();
        }
    }
};

inline bool SamePage(const FlexPage& got, const FlexPageToSend& sent) {
    if (got.capcode != sent.capcode || got.phase != sent.phase || got.type != gen::FlexExpectedType(sent)) return false;
    switch (sent.kind) {
        case FlexPageToSend::Kind::Tone: return got.text.empty();
        case FlexPageToSend::Kind::Binary:
        case FlexPageToSend::Kind::Secure: return got.rawWords == sent.words;
        default: return got.text == sent.text;
    }
}

struct FlexScore {
    int expected = 0, exact = 0, corrupt = 0, falsePages = 0;
    FlexScore& operator+=(const FlexScore& o) {
        expected += o.expected;
        exact += o.exact;
        corrupt += o.corrupt;
        falsePages += o.falsePages;
        return *this;
    }
};

// Exact pages match one sent; any other page is corrupt when its capcode is
// one of the pages sent and not yet found, else false.
inline FlexScore ScoreFlex(const std::vector<FlexPage>& got, const std::vector<FlexPageToSend>& sent) {
    FlexScore score;
    score.expected = static_cast<int>(sent.size());
    std::vector<bool> found(sent.size(), false);
    std::vector<const FlexPage*> rest;
    for (const FlexPage& p : got) {
        bool matched = false;
        for (std::size_t i = 0; i < sent.size() && !matched; ++i)
            if (!found[i] && SamePage(p, sent[i])) found[i] = matched = true;
        if (matched) ++score.exact;
        else rest.push_back(&p);
    }
    for (const FlexPage* p : rest) {
        bool matched = false;
        for (std::size_t i = 0; i < sent.size() && !matched; ++i)
            if (!found[i] && sent[i].capcode == p->capcode) found[i] = matched = true;
        if (matched) ++score.corrupt;
        else ++score.falsePages;
    }
    return score;
}

}  // namespace quorvel::testing
