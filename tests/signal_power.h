// Signal power in a band, for signal-to-noise ratios that count only the noise
// a decoder's band lets through.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace quorvel::testing {

// Mean square of the signal below `cutoffHz` (windowed-sinc low-pass).
inline double PowerBelow(const std::vector<double>& x, double cutoffHz, double sampleRate = 11025.0) {
    constexpr int kHalf = 160;
    constexpr double kPi = 3.14159265358979323846;
    std::vector<double> h(2 * kHalf + 1);
    const double fc = cutoffHz / sampleRate;
    double sum = 0.0;
    for (int k = -kHalf; k <= kHalf; ++k) {
        const double sinc = k == 0 ? 2.0 * fc : std::sin(2.0 * kPi * fc * k) / (kPi * k);
        const double w = 0.42 + 0.5 * std::cos(kPi * k / kHalf) + 0.08 * std::cos(2.0 * kPi * k / kHalf);
        h[static_cast<std::size_t>(k + kHalf)] = sinc * w;
        sum += sinc * w;
    }
    for (double& v : h) v /= sum;
    double energy = 0.0;
    std::size_t n = 0;
    for (std::size_t i = kHalf; i + kHalf < x.size(); i += 2) {
        double y = 0.0;
        for (std::size_t k = 0; k < h.size(); ++k) y += h[k] * x[i + k - kHalf];
        energy += y * y;
        ++n;
    }
    return n > 0 ? energy / static_cast<double>(n) : 0.0;
}

}  // namespace quorvel::testing
