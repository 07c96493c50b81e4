// A second-order filter section (direct form I) and the designs the receiver
// model and the sensitive decoders use, all by the bilinear transform. One small
// object with its state in view: coefficients and the last two inputs and
// outputs.
#pragma once

namespace quorvel::dsp {

struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    double Step(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    void Clear() { x1 = x2 = y1 = y2 = 0.0; }
};

// Band-pass of unit peak gain at centreHz with quality q.
Biquad BandPass(double centreHz, double q, double sampleRate);
// Second-order Butterworth (Q = 1/sqrt 2).
Biquad ButterworthLowPass(double cornerHz, double sampleRate);
Biquad ButterworthHighPass(double cornerHz, double sampleRate);
// First-order sections, as a biquad.
Biquad FirstOrderLowPass(double cornerHz, double sampleRate);
Biquad FirstOrderHighPass(double cornerHz, double sampleRate);

}  // namespace quorvel::dsp
