#include "biquad.h"

#include <cmath>

namespace quorvel::dsp {

namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

Biquad BandPass(double centreHz, double q, double sampleRate) {
    const double w = 2.0 * kPi * centreHz / sampleRate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double a0 = 1.0 + alpha;
    Biquad f;
    f.b0 = alpha / a0;
    f.b1 = 0.0;
    f.b2 = -alpha / a0;
    f.a1 = -2.0 * std::cos(w) / a0;
    f.a2 = (1.0 - alpha) / a0;
    return f;
}

Biquad ButterworthHighPass(double cornerHz, double sampleRate) {
    const double w = 2.0 * kPi * cornerHz / sampleRate;
    const double cw = std::cos(w);
    const double alpha = std::sin(w) / std::sqrt(2.0);
    const double a0 = 1.0 + alpha;
    Biquad f;
    f.b0 = (1.0 + cw) / 2.0 / a0;
    f.b1 = -(1.0 + cw) / a0;
    f.b2 = f.b0;
    f.a1 = -2.0 * cw / a0;
    f.a2 = (1.0 - alpha) / a0;
    return f;
}

Biquad ButterworthLowPass(double cornerHz, double sampleRate) {
    const double w = 2.0 * kPi * cornerHz / sampleRate;
    const double cw = std::cos(w);
    const double alpha = std::sin(w) / std::sqrt(2.0);
    const double a0 = 1.0 + alpha;
    Biquad f;
    f.b0 = (1.0 - cw) / 2.0 / a0;
    f.b1 = (1.0 - cw) / a0;
    f.b2 = f.b0;
    f.a1 = -2.0 * cw / a0;
    f.a2 = (1.0 - alpha) / a0;
    return f;
}

Biquad FirstOrderLowPass(double cornerHz, double sampleRate) {
    const double k = std::tan(kPi * cornerHz / sampleRate);
    Biquad f;
    f.b0 = k / (1.0 + k);
    f.b1 = f.b0;
    f.a1 = (k - 1.0) / (k + 1.0);
    return f;
}

Biquad FirstOrderHighPass(double cornerHz, double sampleRate) {
    const double k = std::tan(kPi * cornerHz / sampleRate);
    Biquad f;
    f.b0 = 1.0 / (1.0 + k);
    f.b1 = -f.b0;
    f.a1 = (k - 1.0) / (k + 1.0);
    return f;
}

}  // namespace quorvel::dsp
