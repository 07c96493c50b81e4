// DTMF test-signal generator: telephone keys as pairs of sine tones.
//
// Each key sounds its row tone (697, 770, 852, 941 Hz) and its column tone
// (1209, 1336, 1477, 1633 Hz) together for the tone length, then silence for
// the pause length. Twist is the high tone's level over the low tone's in dB;
// an offset moves both frequencies by the same share. The two levels add up to
// the chosen peak amplitude.
//
// The output is clean samples in 16-bit units with the mean power of the keys
// where they sound, which is what a signal-to-noise ratio is measured against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel::gen {

// The two nominal frequencies of a key (0-9, *, #, A-D; a-d as A-D). False for
// any other character.
bool DtmfKeyFrequencies(char key, double& lowHz, double& highHz);

// One key as it is sent.
struct DtmfTone {
    double lowHz = 0.0;
    double highHz = 0.0;
    double lowLevel = 0.0;   // amplitude, 16-bit units
    double highLevel = 0.0;
    double seconds = 0.070;
    double pauseSeconds = 0.070;  // silence after it
};

struct DtmfOptions {
    double toneSeconds = 0.070;
    double pauseSeconds = 0.070;
    double twistDb = 0.0;        // high tone over low tone
    double offsetPercent = 0.0;  // both frequencies moved by this share
    double level = 10000.0;      // peak of the two tones together
};

// The keys as tones; false with the offending key in *error for a character
// that is no key.
bool DtmfTones(std::string_view keys, const DtmfOptions& options, std::vector<DtmfTone>& out,
               std::string* error = nullptr);

struct DtmfSignal {
    std::vector<double> samples;  // 16-bit units, not yet quantised
    double signalPower = 0.0;     // mean square over the key samples
};

// Synthesises the tones one after another (each key starts both tones at phase
// zero; the pause after the last key is included).
DtmfSignal SynthesizeDtmf(const std::vector<DtmfTone>& tones, int sampleRate);

}  // namespace quorvel::gen
