// Sensitivity of the two POCSAG decoders: generated pager calls (bit clock off
// nominal, receiver low-pass, DC offset, both polarities, both characteristics)
// at clean / 20 / 14 / 10 / 8 / 6 dB, decoded by the specified and the sensitive
// decoder, counted as exact calls, corrupted calls and false lines; then false
// lines over long white noise, squelch silence with hiss bursts, speech-like
// noise, FMS and five-tone traffic.
//
//   pocsag_sensitivity [--transmissions N] [--noise-seconds S]
//
// SNR: signal power below the bit rate over noise power in 0..bit rate (see
// tests/sensitive_pocsag_support.h).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/sensitive/pocsag_stages.h"
#include "gen/fms_gen.h"
#include "sensitive_pocsag_support.h"
#include "sensitive_signals.h"

namespace {

using namespace quorvel;
using namespace quorvel::testing;

constexpr int kCallsPerTransmission = 3;

struct Cell {
    CallScore specified, sensitive;
};

Cell RunCell(double rate, double snr, PocsagOutput output, int transmissions, std::uint64_t seedBase) {
    Cell cell;
    for (int t = 0; t < transmissions; ++t) {
        PagerScenario s;
        s.rate = rate;
        s.output = output;
        s.snrDb = snr;
        s.inverted = (t % 2) == 1;
        s.ppm = (t % 4 < 2) ? 350.0 : -420.0;
        s.dcOffset = 300.0 + 150.0 * (t % 5);
        s.seed = seedBase + static_cast<std::uint64_t>(t);
        const auto calls = RandomCalls(s.seed, kCallsPerTransmission);
        const auto pcm = PagerSamples(s, calls);
        cell.specified += ScoreCalls(DecodePager(pcm, false, output), calls);
        cell.sensitive += ScoreCalls(DecodePager(pcm, true, output), calls);
    }
    return cell;
}

std::string Figure(const CallScore& s) {
    char text[64];
    std::snprintf(text, sizeof text, "%3d/%-3d %3d %3d", s.exact, s.expected, s.corrupt, s.falseLines);
    return text;
}

// Decode a long signal made block by block by `next` (fills 1024 samples).
template <class Next>
int FalseLines(double seconds, bool sensitive, Next next, int characteristic = 0) {
    FixedClock clock(DateTime{2024, 5, 6, 14, 3, 7, 0});
    StandardEngine e(clock);
    e.ctx.settings.PocsagEnabled.store(true);
    e.ctx.settings.Sensitive.store(sensitive);
    e.ctx.settings.PocsagCharacteristic.store(characteristic);
    e.pocsag.PocsagSetCharacteristic();
    const auto blocks = static_cast<long>(seconds * 11025.0 / FramesPerBlock);
    std::vector<std::int16_t> block(FramesPerBlock);
    int lines = 0;
    std::string text;
    for (long b = 0; b < blocks; ++b) {
        next(block);
        text += DecodeSamples(e, block);
        if (text.size() > 100000) {
            lines += CallLines(text);
            text.clear();
        }
    }
    e.FinishInput([&] {
        std::string taken;
        e.ctx.TakeText(taken);
        text += taken;
    });
    return lines + CallLines(text);
}

std::int16_t Clip(double v) { return static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))); }

// White noise at a level a squelch-open receiver gives.
struct WhiteNoise {
    gen::NoiseSource n{11};
    void operator()(std::vector<std::int16_t>& b) {
        for (auto& v : b) v = Clip(3000.0 * n.Gaussian());
    }
};

// A closed squelch (near silence) opening for hiss bursts of 50 ms to 1.5 s,
// each with a click where it opens and closes.
struct SquelchHiss {
    gen::NoiseSource n{12};
    long left = 0;
    bool open = false;
    void operator()(std::vector<std::int16_t>& b) {
        for (auto& v : b) {
            if (left-- <= 0) {
                open = !open;
                left = static_cast<long>(11025.0 * (open ? 0.05 + 1.45 * n.Uniform() : 0.5 + 8.0 * n.Uniform()));
                v = Clip(open ? 20000.0 : -15000.0);
                continue;
            }
            v = Clip(open ? 6000.0 * n.Gaussian() : 3.0 * n.Gaussian());
        }
    }
};

// Speech-like: a voiced pulse train (pitch gliding 90..220 Hz) and hiss through
// three formant resonators, in syllables of 100..400 ms with pauses.
struct SpeechLike {
    gen::NoiseSource n{13};
    std::array<sensitive::Biquad, 3> formant = {sensitive::BandPass(600.0, 5.0), sensitive::BandPass(1400.0, 6.0),
                                                sensitive::BandPass(2500.0, 7.0)};
    double phase = 0.0, pitch = 140.0, envelope = 0.0, target = 0.0;
    long left = 0;
    void operator()(std::vector<std::int16_t>& b) {
        for (auto& v : b) {
            if (left-- <= 0) {
                const bool syllable = target == 0.0;
                target = syllable ? 0.5 + n.Uniform() : 0.0;
                left = static_cast<long>(11025.0 * (syllable ? 0.1 + 0.3 * n.Uniform() : 0.05 + 0.3 * n.Uniform()));
                pitch = 90.0 + 130.0 * n.Uniform();
                formant[0] = sensitive::BandPass(400.0 + 500.0 * n.Uniform(), 5.0);
                formant[1] = sensitive::BandPass(1000.0 + 1000.0 * n.Uniform(), 6.0);
            }
            envelope += 0.002 * (target - envelope);
            phase += pitch / 11025.0;
            double x = 0.3 * n.Gaussian();
            if (phase >= 1.0) {
                phase -= 1.0;
                x += 12.0;
            }
            const double y = formant[0].Step(x) + 0.6 * formant[1].Step(x) + 0.3 * formant[2].Step(x);
            v = Clip(4000.0 * envelope * y + 20.0 * n.Gaussian());
        }
    }
};

// A stream of prepared samples, repeated.
struct Repeat {
    std::vector<std::int16_t> samples;
    std::size_t at = 0;
    void operator()(std::vector<std::int16_t>& b) {
        for (auto& v : b) {
            v = samples[at];
            at = (at + 1) % samples.size();
        }
    }
};

std::vector<std::int16_t> FmsTraffic() {
    std::vector<double> all;
    gen::NoiseSource n(21);
    for (int k = 0; k < 40; ++k) {
        gen::FmsTransmission t;
        t.telegram.status = k % 16;
        t.telegram.vehicle = {k % 10, (k / 10) % 10, 3, 7};
        t.withText = k % 3 == 0;
        t.text = "Einsatz";
        const auto wave = gen::FmsWaveform(gen::FmsTransmissionBits(t), 9000.0, 11025);
        all.insert(all.end(), wave.begin(), wave.end());
        all.resize(all.size() + static_cast<std::size_t>(11025 * (0.3 + n.Uniform())), 0.0);
    }
    gen::AddNoise(all, 9000.0 * 9000.0 / 2.0, 15.0, 22);
    return gen::Quantize(all);
}

}  // namespace

int main(int argc, char** argv) {
    int transmissions = 16;
    double noiseSeconds = 3600.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--transmissions") == 0) transmissions = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--noise-seconds") == 0) noiseSeconds = std::atof(argv[i + 1]);
    }
    const auto started = std::chrono::steady_clock::now();
    const double rates[] = {512.0, 1200.0, 2400.0, 1625.0};
    const double snrs[] = {INFINITY, 20.0, 14.0, 10.0, 8.0, 6.0};
    std::printf("POCSAG sensitivity: %d transmissions of %d calls per cell, half inverted, clock +350/-420 ppm, DC offset\n",
                transmissions, kCallsPerTransmission);
    std::printf("SNR = signal power below the bit rate / noise power in 0..bit rate\n");
    std::printf("columns: exact/expected corrupt false\n\n");
    std::printf("| characteristic | rate | SNR | specified | sensitive |\n| --- | --- | --- | --- | --- |\n");
    for (PocsagOutput output : {PocsagOutput::Discriminator, PocsagOutput::LineOutput}) {
        std::uint64_t seed = output == PocsagOutput::Discriminator ? 1000 : 5000;
        for (double rate : rates) {
            for (double snr : snrs) {
                const Cell c = RunCell(rate, snr, output, transmissions, seed);
                seed += 100;
                char snrText[16];
                if (std::isfinite(snr)) {
                    std::snprintf(snrText, sizeof snrText, "%.0f dB", snr);
                } else {
                    std::snprintf(snrText, sizeof snrText, "clean");
                }
                std::printf("| %s | %.0f | %s | %s | %s |\n",
                            output == PocsagOutput::Discriminator ? "discriminator" : "line", rate, snrText,
                            Figure(c.specified).c_str(), Figure(c.sensitive).c_str());
                std::fflush(stdout);
            }
        }
    }

    std::printf("\nFalse lines over %.0f s of each (specified / sensitive):\n", noiseSeconds);
    auto both = [noiseSeconds](const char* name, auto make, int characteristic = 0) {
        const int a = FalseLines(noiseSeconds, false, make(), characteristic);
        const int b = FalseLines(noiseSeconds, true, make(), characteristic);
        std::printf("  %-40s %d / %d\n", name, a, b);
        std::fflush(stdout);
    };
    both("white noise", [] { return WhiteNoise{}; });
    both("white noise, line characteristic", [] { return WhiteNoise{}; }, 1);
    both("squelch silence with hiss bursts", [] { return SquelchHiss{}; });
    both("speech-like noise", [] { return SpeechLike{}; });
    const auto fms = FmsTraffic();
    const auto tones = gen::Quantize(ToneTableTraffic(60, 0, 31));
    both("FMS telegrams (15 dB), repeated", [&fms] { return Repeat{fms}; });
    both("five-tone sequences (15 dB), repeated", [&tones] { return Repeat{tones}; });
    // The same with the line characteristic chosen.
    both("squelch and hiss, line characteristic", [] { return SquelchHiss{}; }, 1);
    both("speech-like noise, line characteristic", [] { return SpeechLike{}; }, 1);
    both("FMS telegrams, line characteristic", [&fms] { return Repeat{fms}; }, 1);
    both("five-tone sequences, line characteristic", [&tones] { return Repeat{tones}; }, 1);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("\n(%.0f s)\n", elapsed);
    return 0;
}
