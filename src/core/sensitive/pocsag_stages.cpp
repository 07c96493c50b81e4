// The sensitive POCSAG decoder's stages: front end, sample ring with the
// matched filter's integral, preamble channels, bit clock, sync comparison and
// the BCH(31,21) + parity corrector. See pocsag_stages.h for the signal and for
// what each stage takes and gives.
#include "pocsag_stages.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quorvel::sensitive {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The receiver's audio shaping on the line output, as the decoder assumes it:
// de-emphasis (first-order low-pass) and a second-order high-pass, both at
// 300 Hz. The de-emphasis is undone up to kLineCeilingHz, the high-pass by the
// bit clock's decision feedback.
constexpr double kLineShapingHz = 300.0;
constexpr double kLineCeilingHz = 3000.0;
constexpr double kDcBlockHz = 3.0;

// Envelope of |x|: rises within about 64 samples, falls within about 2048.
constexpr double kEnvelopeAttack = 1.0 / 64.0;
constexpr double kEnvelopeRelease = 1.0 / 2048.0;
constexpr double kClipTimesEnvelope = 8.0;

}  // namespace

Biquad BandPass(double centreHz, double q) {
    const double w = 2.0 * kPi * centreHz / SampleRateHz;
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

Biquad ButterworthHighPass(double cornerHz) {
    const double w = 2.0 * kPi * cornerHz / SampleRateHz;
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

Biquad FirstOrderLowPass(double cornerHz) {
    const double k = std::tan(kPi * cornerHz / SampleRateHz);
    Biquad f;
    f.b0 = k / (1.0 + k);
    f.b1 = f.b0;
    f.a1 = (k - 1.0) / (k + 1.0);
    return f;
}

Biquad FirstOrderHighPass(double cornerHz) {
    const double k = std::tan(kPi * cornerHz / SampleRateHz);
    Biquad f;
    f.b0 = 1.0 / (1.0 + k);
    f.b1 = -f.b0;
    f.a1 = (k - 1.0) / (k + 1.0);
    return f;
}

// ----- front end -----

void FrontEnd::Configure(Characteristic c) {
    which_ = c;
    dcBlock_ = FirstOrderHighPass(kDcBlockHz);
    // The de-emphasis shares its numerator with the low-pass that replaces it,
    // so the ratio of the two is a section with the de-emphasis pole as its
    // zero: stable, and exact for the shaping it assumes.
    const Biquad deEmphasis = FirstOrderLowPass(kLineShapingHz);
    const Biquad ceiling = FirstOrderLowPass(kLineCeilingHz);
    undoDeEmphasis_ = Biquad{};
    undoDeEmphasis_.b0 = ceiling.b0 / deEmphasis.b0;
    undoDeEmphasis_.b1 = undoDeEmphasis_.b0 * deEmphasis.a1;
    undoDeEmphasis_.a1 = ceiling.a1;
    envelope_ = 0.0;
}

double FrontEnd::Step(double x) {
    double y = dcBlock_.Step(x);
    if (which_ == Characteristic::LineOutput) y = undoDeEmphasis_.Step(y);
    const double a = std::fabs(y);
    envelope_ += (a > envelope_ ? kEnvelopeAttack : kEnvelopeRelease) * (a - envelope_);
    const double limit = kClipTimesEnvelope * envelope_;
    if (limit > 1.0) y = std::clamp(y, -limit, limit);
    return y;
}

// ----- sample ring -----

double SampleRing::Integral(double a, double b) const {
    const auto ka = static_cast<std::int64_t>(std::floor(a));
    const auto kb = static_cast<std::int64_t>(std::floor(b));
    if (ka == kb) return At(ka) * (b - a);
    double s = At(ka) * (static_cast<double>(ka + 1) - a);
    for (std::int64_t k = ka + 1; k < kb; ++k) s += At(k);
    return s + At(kb) * (b - static_cast<double>(kb));
}

// ----- preamble channel -----

void PreambleChannel::Configure(double minPeriod, double maxPeriod) {
    minPeriod_ = minPeriod;
    maxPeriod_ = maxPeriod;
    // The preamble is a square wave at half the bit rate.
    const double low = SampleRateHz / (2.0 * maxPeriod);
    const double high = SampleRateHz / (2.0 * minPeriod);
    const double centre = std::sqrt(low * high);
    filter_ = BandPass(centre, 0.8 * centre / (high - low));
    Reset();
}

void PreambleChannel::Reset() {
    filter_.Clear();
    previous_ = 0.0;
    lastCrossing_ = -1.0;
    runStart_ = 0.0;
    run_ = 0;
}

bool PreambleChannel::Step(double x, std::int64_t index) {
    const double y = filter_.Step(x);
    const bool crossed = (previous_ <= 0.0) != (y <= 0.0);
    const double before = previous_;
    previous_ = y;
    if (!crossed) return false;
    const double t = static_cast<double>(index - 1) + before / (before - y);
    if (lastCrossing_ < 0.0) {
        lastCrossing_ = t;
        return false;
    }
    const double interval = t - lastCrossing_;
    const bool plausible = interval >= 0.7 * minPeriod_ && interval <= 1.3 * maxPeriod_;
    if (run_ > 0) {
        const double mean = (lastCrossing_ - runStart_) / run_;
        if (std::fabs(interval - mean) <= 0.25 * mean) {
            ++run_;
        } else {
            runStart_ = lastCrossing_;
            run_ = plausible ? 1 : 0;
        }
    } else if (plausible) {
        runStart_ = lastCrossing_;
        run_ = 1;
    }
    lastCrossing_ = t;
    if (run_ < RunToDetect) return false;
    period_ = (t - runStart_) / run_;
    run_ = 0;
    return period_ >= 0.93 * minPeriod_ && period_ <= 1.07 * maxPeriod_;
}

// ----- bit clock -----

void BitClock::Lock(const SampleRing& ring, std::int64_t now, double period, int lookBack) {
    constexpr int kPhases = 16;
    constexpr int kBits = 24;
    nominal_ = period;
    period_ = period;
    const double step = period / kPhases;
    const double last = static_cast<double>(now);
    std::array<double, kPhases> score{};
    std::array<double, kPhases> dc{};
    for (int k = 0; k < kPhases; ++k) {
        std::array<double, kBits> m{};
        double sum = 0.0;
        for (int j = 0; j < kBits; ++j) {
            const double e = last - k * step - j * period;
            m[static_cast<std::size_t>(j)] = ring.Integral(e - period, e) / period;
            sum += m[static_cast<std::size_t>(j)];
        }
        dc[static_cast<std::size_t>(k)] = sum / kBits;
        double s = 0.0;
        for (double v : m) s += std::fabs(v - dc[static_cast<std::size_t>(k)]);
        score[static_cast<std::size_t>(k)] = s / kBits;
    }
    const auto best = static_cast<int>(std::max_element(score.begin(), score.end()) - score.begin());
    const double left = score[static_cast<std::size_t>((best + kPhases - 1) % kPhases)];
    const double mid = score[static_cast<std::size_t>(best)];
    const double right = score[static_cast<std::size_t>((best + 1) % kPhases)];
    const double curve = left - 2.0 * mid + right;
    const double offset = curve < 0.0 ? std::clamp(0.5 * (left - right) / curve, -0.5, 0.5) : 0.0;
    dc_ = dc[static_cast<std::size_t>(best)];
    amplitude_ = std::max(mid, 1e-6);
    end_ = last - (best + offset) * step - lookBack * period;
    previous_ = ring.Integral(end_ - period, end_) / period - dc_;
    lastError_ = 0.0;
    tracking_ = false;
    model_.Clear();
    restored_.fill(0.0);
}

void BitClock::SetLineModel(bool on) {
    line_ = on;
    model_ = ButterworthHighPass(kLineShapingHz);
    restored_.fill(0.0);
}

bool BitClock::NextLine(const SampleRing& ring, std::int64_t end, SoftBit& out) {
    const double p = period_;
    const double t = end_ + p;
    if (t >= static_cast<double>(end - 1)) return false;
    // The samples whose centres lie in the bit.
    const auto first = static_cast<std::int64_t>(std::ceil(end_ - 0.5));
    const auto last = static_cast<std::int64_t>(std::ceil(t - 0.5)) - 1;
    const auto n = static_cast<int>(std::clamp<std::int64_t>(last - first + 1, 1, 32));
    Biquad past = model_;  // the decided bits alone
    Biquad step = model_;  // this bit alone, as a one
    step.Clear();
    std::array<double, 32> r{};
    std::array<double, 32> yz{};
    std::array<double, 32> yh{};
    double num = 0.0;
    double den = 0.0;
    for (int i = 0; i < n; ++i) {
        r[static_cast<std::size_t>(i)] = ring.At(first + i) - dc_;
        yz[static_cast<std::size_t>(i)] = past.Step(0.0);
        yh[static_cast<std::size_t>(i)] = step.Step(1.0);
        num += (r[static_cast<std::size_t>(i)] - amplitude_ * yz[static_cast<std::size_t>(i)]) * yh[static_cast<std::size_t>(i)];
        den += yh[static_cast<std::size_t>(i)] * yh[static_cast<std::size_t>(i)];
    }
    const double v = num / (amplitude_ * std::max(den, 1e-9));
    const double s = v >= 0.0 ? 1.0 : -1.0;
    // Advance the model by this bit; keep the signal with the loss put back.
    model_.x1 = past.x1 + s * step.x1;
    model_.x2 = past.x2 + s * step.x2;
    model_.y1 = past.y1 + s * step.y1;
    model_.y2 = past.y2 + s * step.y2;
    double residual = 0.0;
    for (int i = 0; i < n; ++i) {
        const double fit = amplitude_ * (yz[static_cast<std::size_t>(i)] + s * yh[static_cast<std::size_t>(i)]);
        residual += r[static_cast<std::size_t>(i)] - fit;
        restored_[static_cast<std::size_t>((first + i) & 63)] = r[static_cast<std::size_t>(i)] - fit + amplitude_ * s;
    }
    double e = 0.0;
    if (previous_ * v < 0.0) {
        const auto a = static_cast<std::int64_t>(std::ceil(t - 1.5 * p - 0.5));
        const auto b = static_cast<std::int64_t>(std::ceil(t - 0.5 * p - 0.5));
        double mid = 0.0;
        for (std::int64_t k = a; k < b; ++k) mid += restored_[static_cast<std::size_t>(k & 63)];
        mid /= static_cast<double>(std::max<std::int64_t>(b - a, 1)) * amplitude_;
        e = std::clamp(mid * (previous_ - v) / 4.0, -0.5, 0.5);
    }
    const double g1 = tracking_ ? 0.06 : 0.2;
    const double g2 = tracking_ ? 0.0008 : 0.01;
    end_ = t + g1 * e * p;
    period_ = std::clamp(period_ + g2 * e * p, 0.98 * nominal_, 1.02 * nominal_);
    dc_ += dcRate_ * residual / n;
    amplitude_ *= 1.0 + (tracking_ ? 0.005 : 0.05) * std::clamp(v * s - 1.0, -0.5, 0.5);
    amplitude_ = std::max(amplitude_, 1e-6);
    previous_ = v;
    lastError_ = e;
    out.value = v;
    out.time = t;
    return true;
}

bool BitClock::Next(const SampleRing& ring, std::int64_t end, SoftBit& out) {
    if (line_) return NextLine(ring, end, out);
    const double p = period_;
    const double t = end_ + p;
    if (t >= static_cast<double>(end - 1)) return false;
    const double v = ring.Integral(t - p, t) / p - dc_;
    const double s = v >= 0.0 ? 1.0 : -1.0;
    double e = 0.0;
    if (previous_ * v < 0.0) {
        // A transition: the stretch across its expected moment integrates to
        // the DC when the clock is right; what is left says early or late.
        const double mid = ring.Integral(t - 1.5 * p, t - 0.5 * p) / p - dc_;
        e = std::clamp(mid * (previous_ - v) / (4.0 * amplitude_ * amplitude_), -0.5, 0.5);
    }
    const double g1 = tracking_ ? 0.06 : 0.2;
    const double g2 = tracking_ ? 0.0008 : 0.01;
    end_ = t + g1 * e * p;
    period_ = std::clamp(period_ + g2 * e * p, 0.98 * nominal_, 1.02 * nominal_);
    dc_ += dcRate_ * (v - amplitude_ * s);
    amplitude_ += (tracking_ ? 0.005 : 0.05) * (v * s - amplitude_);
    amplitude_ = std::max(amplitude_, 1e-6);
    previous_ = v;
    lastError_ = e;
    out.value = v / amplitude_;
    out.time = t;
    return true;
}

// ----- sync -----

SyncMatch SyncErrors(std::uint32_t word) {
    const int direct = std::popcount(word ^ Sync);
    const int complement = 32 - direct;
    return complement < direct ? SyncMatch{complement, true} : SyncMatch{direct, false};
}

// ----- BCH -----

std::uint32_t Syndrome(std::uint32_t cw) {
    std::uint32_t a = cw >> 1;
    for (int n = 30; n >= 10; --n)
        if ((a >> n) & 1u) a ^= 0x769u << (n - 10);
    return a & 0x3FFu;
}

BchCorrector::BchCorrector() {
    for (int i = 1; i < 32; ++i) {
        pattern_[Syndrome(1u << i)] = 1u << i;
        for (int j = i + 1; j < 32; ++j) pattern_[Syndrome((1u << i) | (1u << j))] = (1u << i) | (1u << j);
    }
}

Correction BchCorrector::Hard(std::uint32_t word) const {
    const std::uint32_t s = Syndrome(word);
    const bool odd = (std::popcount(word) & 1) != 0;
    Correction c;
    c.word = word;
    if (s == 0) {
        c.ok = true;
        if (odd) {
            c.word ^= 1u;
            c.flipped = 1;
        }
        return c;
    }
    const std::uint32_t e = pattern_[s];
    if (e == 0) return c;
    if (std::popcount(e) == 1) {
        c.ok = true;
        c.word ^= odd ? e : (e | 1u);
        c.flipped = odd ? 1 : 2;
        return c;
    }
    if (odd) return c;  // two in bits 31..1 and the parity off: three or more
    c.ok = true;
    c.word ^= e;
    c.flipped = 2;
    return c;
}

Correction BchCorrector::Soft(std::uint32_t word, const std::array<double, 32>& soft) const {
    const auto cost = [&soft](std::uint32_t change) {
        double sum = 0.0;
        for (; change != 0; change &= change - 1) sum += std::fabs(soft[static_cast<std::size_t>(31 - std::countr_zero(change))]);
        return sum;
    };
    Correction best = Hard(word);
    if (best.ok) {
        best.cost = cost(best.word ^ word);
        if (best.flipped <= 1) return best;
    }
    // The least reliable bits, as bit masks.
    std::array<int, ChaseBits> weakest{};
    std::array<double, ChaseBits> weakness{};
    weakness.fill(1e300);
    for (int i = 0; i < 32; ++i) {
        const double a = std::fabs(soft[static_cast<std::size_t>(i)]);
        int k = ChaseBits - 1;
        if (a >= weakness[static_cast<std::size_t>(k)]) continue;
        while (k > 0 && a < weakness[static_cast<std::size_t>(k - 1)]) {
            weakness[static_cast<std::size_t>(k)] = weakness[static_cast<std::size_t>(k - 1)];
            weakest[static_cast<std::size_t>(k)] = weakest[static_cast<std::size_t>(k - 1)];
            --k;
        }
        weakness[static_cast<std::size_t>(k)] = a;
        weakest[static_cast<std::size_t>(k)] = 31 - i;
    }
    for (std::uint32_t f = 1; f < (1u << ChaseBits); ++f) {
        std::uint32_t flip = 0;
        for (int k = 0; k < ChaseBits; ++k)
            if ((f >> k) & 1u) flip |= 1u << weakest[static_cast<std::size_t>(k)];
        Correction c = Hard(word ^ flip);
        if (!c.ok) continue;
        const std::uint32_t change = c.word ^ word;
        const int flipped = std::popcount(change);
        if (flipped > MaxSoftFlips) continue;
        const double k = cost(change);
        if (!best.ok || k < best.cost) {
            best = c;
            best.flipped = flipped;
            best.cost = k;
            best.soft = flipped > 2;
        }
    }
    return best;
}

}  // namespace quorvel::sensitive
