// Signals and a decoding rig shared by the sensitive decoders' tests and the
// sensitivity benchmark: FMS telegrams with tones off nominal, twist and level
// steps; five-tone sequences with the same faults; babble (speech-like noise)
// speech-shaped noise, music, POCSAG, FMS and five-tone traffic; noise at an
// SNR over the 0..3000 Hz band.
//
// SNR here: the power of the tones where they sound over the power of white
// noise within 0..3000 Hz. The generators' own SNR counts the noise over the
// whole band (0..5512.5 Hz at 11025 Hz), so it is this one minus
// 10 log10(5512.5 / 3000) = 2.64 dB.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "render/standard_engine.h"
#include "core/sample_source.h"
#include "core/zvei.h"
#include "gen/fms_gen.h"
#include "gen/pocsag_gen.h"
#include "gen/signal.h"
#include "gen/tone_gen.h"

namespace quorvel::testing {

constexpr int SignalRate = 11025;
constexpr double BandCorrectionDb = 2.6429;  // 10 log10(5512.5 / 3000)

inline double GeneratorSnr(double snr3k) { return snr3k - BandCorrectionDb; }

// Everything decoded, as events, with the text that came out.
struct EventLog final : EventSink {
    std::vector<FmsTelegram> telegrams;
    std::vector<FmsTextBlock> textBlocks;
    int textEnds = 0;
    std::vector<ToneSequence> sequences;
    std::vector<DtmfSequence> dtmf;
    void OnEvent(const Event& e) override {
        if (const auto* t = std::get_if<FmsTelegram>(&e)) telegrams.push_back(*t);
        if (const auto* b = std::get_if<FmsTextBlock>(&e)) textBlocks.push_back(*b);
        if (std::holds_alternative<FmsTextEnd>(e)) ++textEnds;
        if (const auto* s = std::get_if<ToneSequence>(&e)) sequences.push_back(*s);
        if (const auto* d = std::get_if<DtmfSequence>(&e)) dtmf.push_back(*d);
    }
};

// An engine with one kind switched on, the sensitive or the specified form.
struct DecodeRig {
    FixedClock clock{DateTime{2024, 5, 6, 14, 3, 7, 0}};
    StandardEngine engine{clock};
    EventLog log;
    std::string text;

    DecodeRig(bool sensitive, bool fms, bool tones, int table = 0, bool dtmf = false) {
        engine.ctx.settings.Sensitive.store(sensitive);
        engine.ctx.settings.FmsEnabled.store(fms);
        engine.ctx.settings.ZveiEnabled.store(tones);
        engine.ctx.settings.DtmfEnabled.store(dtmf);
        engine.ctx.settings.SelectToneTable(table);
        engine.ctx.events.Subscribe(log);
    }
    ~DecodeRig() { engine.ctx.events.Unsubscribe(log); }
    DecodeRig(const DecodeRig&) = delete;
    DecodeRig& operator=(const DecodeRig&) = delete;

    // Decodes the samples (quantised to 16 bits), then ends the input.
    const std::string& Decode(const std::vector<double>& samples, bool finish = true) {
        const std::vector<std::int16_t> pcm = gen::Quantize(samples);
        SampleQueue queue;
        queue.Append(pcm);
        queue.PadLastBlock();
        std::string taken;
        while (queue.PendingBlocks() > 0) {
            OneBlockOf one(queue);
            engine.ProcessPendingBlocks(one);
            engine.ctx.TakeText(taken);
            text += taken;
        }
        if (finish) {
            engine.FinishInput([&] {
                engine.ctx.TakeText(taken);
                text += taken;
            });
        }
        return text;
    }
};

// ----- FMS -----

// Continuous-phase FSK of `bits` with its own faults: every frequency and the
// bit rate scaled by `scale` (1.005: 0.5 % high), the 1800 Hz tone `twistDb`
// above the 1200 Hz one, the level multiplied by `step` from bit `stepAt` on.
// Starts at `phase` (radians).
inline std::vector<double> FskWave(const std::vector<std::uint8_t>& bits, double level, double scale = 1.0,
                                   double twistDb = 0.0, double phase = 0.0, std::size_t stepAt = SIZE_MAX,
                                   double step = 1.0) {
    std::vector<double> out;
    const double bitSamples = SignalRate / (1200.0 * scale);
    const auto count = static_cast<std::size_t>(std::ceil(static_cast<double>(bits.size()) * bitSamples));
    out.resize(count);
    const double zeroGain = std::pow(10.0, twistDb / 20.0);
    double base = phase / (2.0 * std::numbers::pi);  // cycles at the start of the current bit
    std::size_t bit = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n);
        auto j = static_cast<std::size_t>(t / bitSamples);
        if (j >= bits.size()) j = bits.size() - 1;
        while (bit < j) {
            base += bits[bit] != 0 ? 1.0 : 1.5;
            base -= std::floor(base);
            ++bit;
        }
        const double cycles = bits[j] != 0 ? 1.0 : 1.5;
        const double within = (t - static_cast<double>(j) * bitSamples) / bitSamples;
        double a = level * (bits[j] != 0 ? 1.0 : zeroGain);
        if (j >= stepAt) a *= step;
        out[n] = a * std::sin(2.0 * std::numbers::pi * (base + cycles * within));
    }
    return out;
}

// A random status telegram (every field over its range).
inline gen::FmsStatusTelegram RandomTelegram(gen::NoiseSource& r) {
    auto pick = [&](int n) { return static_cast<int>(r.Uniform() * n) % n; };
    gen::FmsStatusTelegram t;
    t.organisation = pick(16);
    t.land = pick(16);
    t.location = {pick(16), pick(16)};
    t.vehicle = {pick(16), pick(16), pick(16), pick(16)};
    t.status = pick(16);
    t.buildStage = pick(2);
    t.direction = pick(2);
    t.tactical = pick(4);
    return t;
}

// Mean square of the non-silent samples.
inline double PowerWhereSounding(const std::vector<double>& v) {
    double s = 0.0;
    std::size_t n = 0;
    for (double x : v)
        if (x != 0.0) {
            s += x * x;
            ++n;
        }
    return n > 0 ? s / static_cast<double>(n) : 0.0;
}

// ----- five tones -----

// Tones back to back, phase-continuous, each with its own level.
inline std::vector<double> ToneRun(const std::vector<double>& freqs, const std::vector<double>& levels, double seconds) {
    std::vector<double> out;
    const auto n = static_cast<std::size_t>(std::llround(seconds * SignalRate));
    double phase = 0.0;
    for (std::size_t k = 0; k < freqs.size(); ++k) {
        const double step = 2.0 * std::numbers::pi * freqs[k] / SignalRate;
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(levels[k] * std::sin(phase));
            phase += step;
            if (phase >= 2.0 * std::numbers::pi) phase -= 2.0 * std::numbers::pi;
        }
    }
    return out;
}

// Five-tone calls of a table one after another, each tone of any entry of the
// table (repeat tone included) up to 0.5 % off, with twist and level spread,
// 0.2..1 s of pause between calls; white noise at `snr3k` (the tones' power over
// the noise in 0..3000 Hz; infinity: none) over the whole stretch.
inline std::vector<double> FiveToneTraffic(std::size_t samples, int table, double snr3k, std::uint64_t seed) {
    gen::NoiseSource r(seed);
    const zvei::ToneTable& t = zvei::Table(table);
    std::vector<double> out;
    out.reserve(samples);
    double power = 0.0;
    std::size_t sounding = 0;
    while (out.size() < samples) {
        out.resize(out.size() + static_cast<std::size_t>((0.2 + 0.8 * r.Uniform()) * SignalRate), 0.0);
        const double twist = 6.0 * (2.0 * r.Uniform() - 1.0);
        const double level = 1000.0 + 15000.0 * r.Uniform();
        std::vector<double> freqs;
        std::vector<double> levels;
        for (int j = 0; j < 5; ++j) {
            const auto e = static_cast<std::size_t>(r.Uniform() * t.entryCount) % static_cast<std::size_t>(t.entryCount);
            const double nominal = t.entries[e].frequency;
            freqs.push_back(nominal * (1.0 + 0.005 * (2.0 * r.Uniform() - 1.0)));
            const double db = twist * (nominal - 1800.0) / 1200.0 + 3.0 * (2.0 * r.Uniform() - 1.0);
            levels.push_back(level * std::pow(10.0, db / 20.0));
        }
        const std::vector<double> wave = ToneRun(freqs, levels, gen::StandardToneSeconds(table));
        power += gen::MeanSquare(wave) * static_cast<double>(wave.size());
        sounding += wave.size();
        out.insert(out.end(), wave.begin(), wave.end());
    }
    out.resize(samples);
    if (std::isfinite(snr3k) && sounding > 0)
        gen::AddNoise(out, power / static_cast<double>(sounding), GeneratorSnr(snr3k), seed + 1);
    return out;
}

// ----- interference -----

// Speech-like noise: several voices, each a harmonic series (pitch 90..260 Hz,
// gliding) shaped by three formants that change every syllable, syllables of
// 80..300 ms with pauses, some unvoiced hiss. Peak about `level`.
inline std::vector<double> Babble(std::size_t samples, int voices, double level, std::uint64_t seed) {
    std::vector<double> out(samples, 0.0);
    gen::NoiseSource r(seed);
    constexpr std::size_t TableSize = 512;
    std::vector<double> table(TableSize);
    for (int v = 0; v < voices; ++v) {
        double phase = 0.0;
        std::size_t n = 0;
        while (n < samples) {
            const auto len = static_cast<std::size_t>((0.08 + 0.22 * r.Uniform()) * SignalRate);
            const bool pause = r.Uniform() < 0.2;
            const bool hiss = !pause && r.Uniform() < 0.15;
            const double f0a = 90.0 + 170.0 * r.Uniform();
            const double f0b = f0a * (0.8 + 0.4 * r.Uniform());
            const double formants[3] = {300.0 + 500.0 * r.Uniform(), 900.0 + 1400.0 * r.Uniform(),
                                        2400.0 + 600.0 * r.Uniform()};
            const double f0max = std::max(f0a, f0b);
            for (std::size_t i = 0; i < TableSize; ++i) table[i] = 0.0;
            for (int k = 1; k * f0max < 3400.0; ++k) {
                double g = 0.0;
                for (int f = 0; f < 3; ++f) {
                    const double d = (k * (f0a + f0b) / 2.0 - formants[f]) / (80.0 + 40.0 * f);
                    g += std::exp(-0.5 * d * d) / (1.0 + f);
                }
                g += 0.05 / k;
                const double p0 = 2.0 * std::numbers::pi * r.Uniform();
                for (std::size_t i = 0; i < TableSize; ++i)
                    table[i] += g * std::sin(2.0 * std::numbers::pi * k * static_cast<double>(i) / TableSize + p0);
            }
            double peak = 1e-9;
            for (double x : table) peak = std::max(peak, std::fabs(x));
            const double gain = level / voices / peak * (0.5 + r.Uniform());
            for (std::size_t i = 0; i < len && n < samples; ++i, ++n) {
                if (pause) continue;
                const double env = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(len));
                if (hiss) {
                    out[n] += 0.3 * gain * env * r.Gaussian();
                    continue;
                }
                const double f0 = f0a + (f0b - f0a) * static_cast<double>(i) / static_cast<double>(len);
                phase += f0 / SignalRate;
                phase -= std::floor(phase);
                out[n] += gain * env * table[static_cast<std::size_t>(phase * TableSize) % TableSize];
            }
        }
    }
    return out;
}

// POCSAG transmissions at `bitRate` one after another (random calls, short
// pauses), as the discriminator or the line output gives them.
inline std::vector<double> PocsagTraffic(std::size_t samples, double bitRate, double level, std::uint64_t seed,
                                         bool lineOutput = false) {
    std::vector<double> out;
    out.reserve(samples);
    gen::NoiseSource r(seed);
    while (out.size() < samples) {
        std::vector<gen::PocsagMessage> calls;
        const int count = 1 + static_cast<int>(r.Uniform() * 4);
        for (int c = 0; c < count; ++c) {
            gen::PocsagMessage m;
            m.address = static_cast<std::uint32_t>(r.Uniform() * gen::kPocsagMaxAddress);
            m.function = static_cast<int>(r.Uniform() * 4) % 4;
            const double kind = r.Uniform();
            if (kind < 0.4) {
                m.kind = gen::PocsagMessage::Kind::Alphanumeric;
                m.text = "Einsatz " + std::to_string(static_cast<int>(r.Uniform() * 100000)) + " Brand Wohnhaus";
            } else if (kind < 0.8) {
                m.kind = gen::PocsagMessage::Kind::Numeric;
                m.text = std::to_string(static_cast<int>(r.Uniform() * 1e9));
            }
            calls.push_back(m);
        }
        gen::PocsagSignal s;
        s.bitRate = bitRate;
        s.level = level;
        s.inverted = r.Uniform() < 0.5;
        s.output = lineOutput ? gen::PocsagSignal::Output::LineOutput : gen::PocsagSignal::Output::Discriminator;
        const std::vector<double> wave = gen::PocsagWaveform(s, gen::PocsagCodewords(calls));
        out.insert(out.end(), wave.begin(), wave.end());
        out.resize(out.size() + static_cast<std::size_t>((0.05 + 0.3 * r.Uniform()) * SignalRate), 0.0);
    }
    out.resize(samples);
    return out;
}

// Noise with the long-term spectrum of speech (a broad peak near 500 Hz,
// falling above) whose loudness follows syllables of 100..400 ms. RMS about
// `level` / 3 while loud.
inline std::vector<double> SpeechShapedNoise(std::size_t samples, double level, std::uint64_t seed) {
    std::vector<double> out(samples, 0.0);
    gen::NoiseSource r(seed);
    // Two one-pole low-passes after a one-pole high-pass: about 300..800 Hz flat,
    // -12 dB per octave above.
    const double a = std::exp(-2.0 * std::numbers::pi * 800.0 / SignalRate);
    const double h = std::exp(-2.0 * std::numbers::pi * 300.0 / SignalRate);
    double lp1 = 0.0, lp2 = 0.0, hpIn = 0.0, hp = 0.0;
    std::size_t n = 0;
    while (n < samples) {
        const auto len = static_cast<std::size_t>((0.1 + 0.3 * r.Uniform()) * SignalRate);
        const double gain = r.Uniform() < 0.25 ? 0.05 : (0.3 + 0.7 * r.Uniform());
        for (std::size_t i = 0; i < len && n < samples; ++i, ++n) {
            const double x = r.Gaussian();
            hp = h * (hp + x - hpIn);
            hpIn = x;
            lp1 = a * lp1 + (1.0 - a) * hp;
            lp2 = a * lp2 + (1.0 - a) * lp1;
            const double env = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(len));
            out[n] = 4.0 * level * gain * env * lp2;
        }
    }
    return out;
}

// Music: chords of two to four equal-tempered notes (about 130..2100 Hz), each
// note a harmonic series with a timbre of its own, vibrato of 4..7 Hz and
// 0.2..0.8 % depth (or none), attack and decay; chords change every 0.15..1 s,
// sometimes overlapping the next. Peak about `level`.
inline std::vector<double> Music(std::size_t samples, double level, std::uint64_t seed) {
    std::vector<double> out(samples, 0.0);
    gen::NoiseSource r(seed);
    std::size_t at = 0;
    while (at < samples) {
        const auto len = static_cast<std::size_t>((0.15 + 0.85 * r.Uniform()) * SignalRate);
        const int notes = 2 + static_cast<int>(r.Uniform() * 3);
        for (int k = 0; k < notes; ++k) {
            const int midi = 48 + static_cast<int>(r.Uniform() * 49);  // C3..C7
            const double f0 = 440.0 * std::pow(2.0, (midi - 69) / 12.0);
            const bool plain = r.Uniform() < 0.3;
            const double vibratoHz = 4.0 + 3.0 * r.Uniform();
            const double depth = plain ? 0.0 : 0.002 + 0.006 * r.Uniform();
            const double bright = 0.3 + 0.6 * r.Uniform();  // harmonic k at bright^(k-1)
            const double amp = level / (notes + 1) * (0.5 + 0.5 * r.Uniform());
            const double decay = 1.0 + 4.0 * r.Uniform();  // per second
            const std::size_t sound = len + static_cast<std::size_t>(r.Uniform() * 0.3 * SignalRate);
            double phase = 0.0;
            for (std::size_t i = 0; i < sound && at + i < samples; ++i) {
                const double t = static_cast<double>(i) / SignalRate;
                const double f = f0 * (1.0 + depth * std::sin(2.0 * std::numbers::pi * vibratoHz * t));
                phase += f / SignalRate;
                phase -= std::floor(phase);
                double v = 0.0;
                double g = 1.0;
                for (int m = 1; m <= 6 && m * f0 < 5000.0; ++m, g *= bright) v += g * std::sin(2.0 * std::numbers::pi * m * phase);
                const double env = std::min(1.0, t / 0.02) * std::exp(-decay * t);
                out[at + i] += amp * env * v;
            }
        }
        at += len;
    }
    return out;
}

// FMS transmissions (random telegrams, some with text) one after another with
// pauses, 0.5 % off at most, as the discriminator gives them.
inline std::vector<double> FmsTraffic(std::size_t samples, double level, std::uint64_t seed) {
    std::vector<double> out;
    out.reserve(samples);
    gen::NoiseSource r(seed);
    while (out.size() < samples) {
        gen::FmsTransmission tx;
        tx.telegram = RandomTelegram(r);
        tx.preambleBits = 12 + static_cast<int>(r.Uniform() * 20);
        if (r.Uniform() < 0.3) {
            tx.withText = true;
            tx.textNumber = static_cast<int>(r.Uniform() * 60);
            tx.text = "Lage " + std::to_string(static_cast<int>(r.Uniform() * 1000));
        }
        const double scale = 1.0 + 0.005 * (2.0 * r.Uniform() - 1.0);
        const std::vector<double> wave = FskWave(gen::FmsTransmissionBits(tx), level * (0.3 + 0.7 * r.Uniform()), scale,
                                                 6.0 * (2.0 * r.Uniform() - 1.0), 2.0 * std::numbers::pi * r.Uniform());
        out.insert(out.end(), wave.begin(), wave.end());
        out.resize(out.size() + static_cast<std::size_t>((0.05 + 0.5 * r.Uniform()) * SignalRate), 0.0);
    }
    out.resize(samples);
    return out;
}

// Five-tone calls of the ZVEI normal and CCIR tables (random digits, the
// repeat tone where a digit repeats) one after another with pauses.
inline std::vector<double> FiveToneTraffic(std::size_t samples, double level, std::uint64_t seed) {
    std::vector<double> out;
    out.reserve(samples);
    gen::NoiseSource r(seed);
    while (out.size() < samples) {
        const int table = r.Uniform() < 0.5 ? 0 : 3;
        std::string digits;
        for (int k = 0; k < 5; ++k) digits += static_cast<char>('0' + static_cast<int>(r.Uniform() * 10) % 10);
        std::vector<double> freqs;
        gen::ToneFrequencies(table, digits, true, freqs);
        const std::vector<double> levels(freqs.size(), level * (0.3 + 0.7 * r.Uniform()));
        const std::vector<double> wave = ToneRun(freqs, levels, gen::StandardToneSeconds(table));
        out.insert(out.end(), wave.begin(), wave.end());
        out.resize(out.size() + static_cast<std::size_t>((0.1 + 0.6 * r.Uniform()) * SignalRate), 0.0);
    }
    out.resize(samples);
    return out;
}

// `calls` five-tone calls of all four tables in turn (random digits), 0.8 s
// apart, at 9000 peak; cut or padded to `samples` (0: as long as they are),
// then white noise 15 dB below the tones.
inline std::vector<double> ToneTableTraffic(int calls, std::size_t samples, std::uint64_t seed) {
    std::vector<std::vector<double>> sequences;
    gen::NoiseSource n(seed);
    for (int k = 0; k < calls; ++k) {
        std::string symbols;
        for (int i = 0; i < 5; ++i) symbols += static_cast<char>('0' + static_cast<int>(n.Uniform() * 10.0) % 10);
        std::vector<double> f;
        if (gen::ToneFrequencies(k % 4, symbols, true, f)) sequences.push_back(f);
    }
    gen::ToneTiming timing;
    timing.pauseSeconds = 0.8;
    gen::ToneSignal s = gen::SynthesizeToneSequences(sequences, timing, 9000.0, 11025);
    if (samples > 0) s.samples.resize(samples, 0.0);
    gen::AddNoise(s.samples, s.signalPower, 15.0, seed + 1);
    return s.samples;
}

}  // namespace quorvel::testing
