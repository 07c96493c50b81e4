// Sensitivity of the DTMF decoder: exact / corrupt / sent sequences per SNR
// (tone power over white noise in 0..3000 Hz), keys of 50..100 ms with pauses
// of 50..100 ms, twist up to +-4 dB and each tone up to 1 % off; then keys
// found in long stretches of noise, speech, music and other signalling.
//
//   dtmf_sensitivity [--trials N] [--minutes M] [--only keys|false] [--keys K] [--snr DB]
//                    [--source TEXT] [--verbose 1]
//
// exact: one sequence came out and it is the one sent; corrupt: a sequence
// other than the one sent came out (w: one with a key that was not sent there,
// not merely keys left out); the rest were missed. A trial sends K random keys
// (default 6). SNR as the five-tone table has it: tone power over white noise
// within 0..3000 Hz (2.64 dB below the generator's own, whole-band SNR).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/sensitive/dtmf.h"
#include "gen/dtmf_gen.h"
#include "sensitive_signals.h"

namespace {

using namespace quorvel;
using namespace quorvel::testing;

std::vector<double> Snrs = {INFINITY, 12.0, 9.0, 6.0, 3.0, 0.0, -3.0, -6.0};

bool Verbose = false;  // --verbose 1: every trial that was not exact

struct Tally {
    int exact = 0;
    int corrupt = 0;
    int wrong = 0;  // of the corrupt: a key shown that was not sent there (not merely keys missing)
    int sent = 0;
};

// Whether `got` is `sent` with keys left out.
bool KeysLeftOut(const std::string& got, const std::string& sent) {
    std::size_t k = 0;
    for (char c : sent)
        if (k < got.size() && got[k] == c) ++k;
    return k == got.size();
}

void Trial(double snr, std::uint64_t seed, int keyCount, Tally& tally) {
    gen::NoiseSource r(seed * 15485863 + 11);
    std::string keys;
    std::vector<gen::DtmfTone> tones;
    const double level = 2000.0 + 15000.0 * r.Uniform();
    for (int k = 0; k < keyCount; ++k) {
        const char key = dtmf::Keys[static_cast<std::size_t>(r.Uniform() * 16) % 16];
        keys += key;
        gen::DtmfTone t;
        gen::DtmfKeyFrequencies(key, t.lowHz, t.highHz);
        t.lowHz *= 1.0 + 0.01 * (2.0 * r.Uniform() - 1.0);
        t.highHz *= 1.0 + 0.01 * (2.0 * r.Uniform() - 1.0);
        const double ratio = std::pow(10.0, 4.0 * (2.0 * r.Uniform() - 1.0) / 20.0);
        t.lowLevel = level / (1.0 + ratio);
        t.highLevel = t.lowLevel * ratio;
        t.seconds = 0.050 + 0.050 * r.Uniform();
        t.pauseSeconds = 0.050 + 0.050 * r.Uniform();
        tones.push_back(t);
    }
    const gen::DtmfSignal s = gen::SynthesizeDtmf(tones, SignalRate);
    std::vector<double> samples(static_cast<std::size_t>((0.2 + 0.2 * r.Uniform()) * SignalRate), 0.0);
    samples.insert(samples.end(), s.samples.begin(), s.samples.end());
    samples.resize(samples.size() + static_cast<std::size_t>(0.3 * SignalRate), 0.0);
    if (std::isfinite(snr)) gen::AddNoise(samples, s.signalPower, GeneratorSnr(snr), seed);
    DecodeRig rig(true, false, false, 0, true);
    rig.Decode(samples);
    ++tally.sent;
    bool exact = false;
    bool corrupt = false;
    bool wrong = false;
    for (const DtmfSequence& q : rig.log.dtmf) {
        (q.keys == keys ? exact : corrupt) = true;
        wrong = wrong || !KeysLeftOut(q.keys, keys);
    }
    tally.wrong += wrong ? 1 : 0;
    tally.exact += exact && rig.log.dtmf.size() == 1 ? 1 : 0;
    if (Verbose && !(exact && rig.log.dtmf.size() == 1)) {
        std::printf("  seed %llu snr %.0f sent %s got", static_cast<unsigned long long>(seed), snr, keys.c_str());
        for (const DtmfSequence& q : rig.log.dtmf) std::printf(" %s", q.keys.c_str());
        std::printf("\n");
    }
    tally.corrupt += corrupt ? 1 : 0;
}

void KeyTable(int trials, int keyCount) {
    std::printf("\nDTMF sequences of %d keys, %d per cell (exact/sent, c = a sequence other than the one sent, w = of\n"
                "those, sequences with a key that was not sent there rather than keys missing)\n",
                keyCount, trials);
    std::printf("%-36s", "signal");
    for (double s : Snrs)
        std::printf(" | %15s", std::isfinite(s) ? (std::to_string(static_cast<int>(s)) + " dB").c_str() : "clean");
    std::printf("\n%-36s", "50-100 ms, +-4 dB twist, +-1 % off");
    for (double snr : Snrs) {
        Tally t;
        for (int k = 0; k < trials; ++k) Trial(snr, static_cast<std::uint64_t>(k + 1), keyCount, t);
        char cell[48];
        std::snprintf(cell, sizeof cell, "%d/%d c%d w%d", t.exact, t.sent, t.corrupt, t.wrong);
        std::printf(" | %15s", cell);
        std::fflush(stdout);
    }
    std::printf("\n");
}

void FalseTable(double minutes, const std::string& only) {
    struct Source {
        std::string name;
        std::function<std::vector<double>(std::size_t, std::uint64_t)> make;
    };
    const std::vector<Source> sources = {
        {"white noise", [](std::size_t n, std::uint64_t seed) {
             std::vector<double> v(n, 0.0);
             gen::AddNoise(v, 3000.0 * 3000.0, 0.0, seed);
             return v;
         }},
        {"babble (6 voices) + weak noise", [](std::size_t n, std::uint64_t seed) {
             std::vector<double> v = Babble(n, 6, 12000.0, seed);
             gen::AddNoise(v, 100.0 * 100.0, 0.0, seed + 1);
             return v;
         }},
        {"babble (1 voice)", [](std::size_t n, std::uint64_t seed) { return Babble(n, 1, 12000.0, seed); }},
        {"speech-shaped noise", [](std::size_t n, std::uint64_t seed) { return SpeechShapedNoise(n, 12000.0, seed); }},
        {"music", [](std::size_t n, std::uint64_t seed) { return Music(n, 12000.0, seed); }},
        {"POCSAG 512 bit/s", [](std::size_t n, std::uint64_t seed) { return PocsagTraffic(n, 512.0, 12000.0, seed); }},
        {"POCSAG 1200 bit/s", [](std::size_t n, std::uint64_t seed) { return PocsagTraffic(n, 1200.0, 12000.0, seed); }},
        {"POCSAG 2400 bit/s", [](std::size_t n, std::uint64_t seed) { return PocsagTraffic(n, 2400.0, 12000.0, seed); }},
        {"FMS", [](std::size_t n, std::uint64_t seed) { return FmsTraffic(n, 12000.0, seed); }},
        {"five-tone (ZVEI, CCIR)", [](std::size_t n, std::uint64_t seed) { return FiveToneTraffic(n, 12000.0, seed); }},
    };
    std::printf("\nKeys found in %.0f minutes of each\n", minutes);
    std::printf("%-34s | %5s | %s\n", "source", "keys", "sequences");
    const auto chunk = static_cast<std::size_t>(60.0 * SignalRate);
    const auto chunks = static_cast<int>(std::ceil(minutes));
    for (const Source& src : sources) {
        if (!only.empty() && src.name.find(only) == std::string::npos) continue;
        DecodeRig rig(true, false, false, 0, true);
        for (int c = 0; c < chunks; ++c) rig.Decode(src.make(chunk, static_cast<std::uint64_t>(1000 + c)), c + 1 == chunks);
        std::size_t keys = 0;
        std::string shown;
        for (const DtmfSequence& q : rig.log.dtmf) {
            keys += q.keys.size();
            if (shown.size() < 60) shown += q.keys + " ";
        }
        std::printf("%-34s | %5zu | %s\n", src.name.c_str(), keys, shown.c_str());
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int trials = 200;
    double minutes = 60.0;
    int keyCount = 6;
    std::string only;
    std::string source;  // --source TEXT: only the sources whose name holds TEXT
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
        if (std::strcmp(argv[i], "--keys") == 0) keyCount = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--source") == 0) source = argv[i + 1];
        if (std::strcmp(argv[i], "--verbose") == 0) Verbose = std::atoi(argv[i + 1]) != 0;
        if (std::strcmp(argv[i], "--snr") == 0) Snrs = {std::atof(argv[i + 1])};
    }
    if (only.empty() || only == "keys") KeyTable(trials, keyCount);
    if (only.empty() || only == "false") FalseTable(minutes, source);
    return 0;
}
