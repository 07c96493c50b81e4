// Building blocks every test-signal generator shares: noise at a chosen
// signal-to-noise ratio, DC offset, conversion to 16-bit samples, WAV output.
//
// Signal-to-noise ratio, for every generator: the mean power of the clean signal
// over the stretches where it is present (its own samples, not the silence around
// it), over the power of white Gaussian noise across the whole band of the output
// file (0 to half its sample rate).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/common.h"

namespace quorvel::gen {

// A small deterministic Gaussian noise source (xorshift64* and Box-Muller), so a
// seed gives the same noise on every machine.
class NoiseSource {
public:
    explicit NoiseSource(std::uint64_t seed);
    double Uniform();   // in (0, 1)
    double Gaussian();  // mean 0, variance 1

private:
    std::uint64_t state_;
    std::optional<double> spare_;
};

// Mean of x^2 over the samples.
double MeanSquare(std::span<const double> samples);

// Add white Gaussian noise so that signalPower / noisePower = 10^(snrDb / 10).
void AddNoise(std::vector<double>& samples, double signalPower, double snrDb, std::uint64_t seed);

// Add a constant.
void AddOffset(std::vector<double>& samples, double offset);

// Round to 16-bit sample values (halves to even), clipping at full scale.
std::vector<std::int16_t> Quantize(std::span<const double> samples);

// How a generated signal is written: sample rate, number of channels and the
// channel (0-based) that carries the signal; the others stay silent. The default
// is what the decoder's sound card delivers: 11025 Hz stereo, signal on the second.
struct WavLayout {
    int sampleRate = DefaultSampleRate;
    int channels = 2;
    int signalChannel = 1;
};

// Write 16-bit PCM WAV. Returns an empty string on success, else what went wrong.
std::string WriteWav(const std::string& path, std::span<const std::int16_t> mono, const WavLayout& layout);

}  // namespace quorvel::gen
