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

// The receiver's audio path on the line output, as the decoder assumes it.
constexpr double kDeEmphasisHz = 300.0;
constexpr double kSubAudioHz = 300.0;
constexpr double kAudioLowPassHz = 3000.0;
constexpr double kDcBlockHz = 3.0;

// Envelope of |x|: rises within about 64 samples, falls within about 2048.
constexpr double kEnvelopeAttack = 1.0 / 64.0;
constexpr double kEnvelopeRelease = 1.0 / 2048.0;
constexpr double kClipTimesEnvelope = 8.0;

}  // namespace


// ----- front end -----

std::array<double, LineResponseLength> LineImpulseResponse() {
    Biquad deEmphasis = FirstOrderLowPass(kDeEmphasisHz);
    Biquad subAudio = ButterworthHighPass(kSubAudioHz);
    Biquad audio = ButterworthLowPass(kAudioLowPassHz);
    std::array<double, LineResponseLength> h{};
    for (int n = 0; n < LineResponseLength; ++n)
        h[static_cast<std::size_t>(n)] = audio.Step(subAudio.Step(deEmphasis.Step(n == 0 ? 1.0 : 0.0)));
    return h;
}

void FrontEnd::Configure(Characteristic c) {
    which_ = c;
    dcBlock_ = FirstOrderHighPass(kDcBlockHz);
    const auto h = LineImpulseResponse();
    std::copy(h.begin(), h.begin() + LineTaps, taps_.begin());
    history_.fill(0.0);
    at_ = 0;
    envelope_ = 0.0;
}

double FrontEnd::Step(double x) {
    double y = dcBlock_.Step(x);
    const double a = std::fabs(y);
    envelope_ += (a > envelope_ ? kEnvelopeAttack : kEnvelopeRelease) * (a - envelope_);
    const double limit = kClipTimesEnvelope * envelope_;
    if (limit > 1.0) y = std::clamp(y, -limit, limit);
    if (which_ != Characteristic::LineOutput) return y;
    // Correlate the last LineTaps samples with the response: the oldest meets
    // its first sample.
    history_[static_cast<std::size_t>(at_)] = y;
    history_[static_cast<std::size_t>(at_ + LineTaps)] = y;
    at_ = at_ + 1 == LineTaps ? 0 : at_ + 1;
    return Dot(taps_.data(), history_.data() + at_, LineTaps);
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

// ----- line trellis -----

void LineTrellis::Configure(double period) {
    period_ = period;
    // The matched signal's response to the input: the response correlated with
    // the matched filter's taps, at lags -(LineTaps - 1) .. LineResponseLength - 1.
    const auto h = LineImpulseResponse();
    for (int lag = -(FrontEnd::LineTaps - 1); lag < LineResponseLength; ++lag) {
        double sum = 0.0;
        for (int i = 0; i < FrontEnd::LineTaps; ++i) {
            const int j = i + lag;
            if (j >= 0 && j < LineResponseLength) sum += h[static_cast<std::size_t>(i)] * h[static_cast<std::size_t>(j)];
        }
        response_[static_cast<std::size_t>(lag + FrontEnd::LineTaps - 1)] = sum;
    }
    // Symmetric: the small asymmetry of the truncated filter is left out.
    for (int d = 0; d <= Memory; ++d)
        rho_[static_cast<std::size_t>(d)] = 0.5 * (Overlap(d * period) + Overlap(-d * period));
    for (int v = 0; v < 64; ++v) {
        double near = 0.0;
        double far = 0.0;
        double nearLater = 0.0;
        double farLater = 0.0;
        for (int i = 0; i < 6; ++i) {
            const double b = ((v >> i) & 1) != 0 ? 1.0 : -1.0;
            near += b * rho_[static_cast<std::size_t>(i + 1)];
            far += b * rho_[static_cast<std::size_t>(i + 7)];
            nearLater += b * rho_[static_cast<std::size_t>(6 - i)];
            farLater += b * rho_[static_cast<std::size_t>(12 - i)];
        }
        nearTable_[static_cast<std::size_t>(v)] = near;
        farTable_[static_cast<std::size_t>(v)] = far;
        nearLaterTable_[static_cast<std::size_t>(v)] = nearLater;
        farLaterTable_[static_cast<std::size_t>(v)] = farLater;
    }
}

double LineTrellis::Overlap(double offset, double window) const {
    // The response at lag l moves input at t - l to t; the window meets the
    // bit moved by l where both overlap.
    if (window <= 0.0) window = period_;
    double sum = 0.0;
    for (int lag = -(FrontEnd::LineTaps - 1); lag < LineResponseLength; ++lag) {
        const double w = std::min(offset + 0.5 * window, lag + 0.5 * period_) -
                         std::max(offset - 0.5 * window, lag - 0.5 * period_);
        if (w > 0.0) sum += response_[static_cast<std::size_t>(lag + FrontEnd::LineTaps - 1)] * w;
    }
    return sum;
}

void LineTrellis::Reset(bool lastOne) {
    // Every state equally likely; the older bits as the preamble would have
    // them before each state's own.
    for (int s = 0; s < States; ++s) {
        std::uint64_t p = static_cast<std::uint64_t>(s);
        bool bit = ((s >> (StateBits - 1)) & 1) != 0;
        for (int i = StateBits; i < 64; ++i) {
            bit = !bit;
            if (bit) p |= std::uint64_t{1} << i;
        }
        path_[static_cast<std::size_t>(s)] = p;
        metric_[static_cast<std::size_t>(s)] = 0.0;
    }
    best_ = lastOne ? 0b10101 & (States - 1) : 0b01010 & (States - 1);
}

double LineTrellis::Interference(std::uint64_t path, int i, bool withLater) const {
    static_assert(Memory == 12, "the tables cover six bits each");
    const std::uint64_t before = path >> (i + 1);
    double sum = nearTable_[before & 63u] + farTable_[(before >> 6) & 63u];
    if (withLater) {
        const std::uint64_t after = path >> (i - Memory);
        sum += nearLaterTable_[(after >> 6) & 63u] + farLaterTable_[after & 63u];
    }
    return sum;
}

void LineTrellis::Step(double u) {
    // Per survivor: u less the interference of its own earlier bits.
    std::array<double, States> rest{};
    for (int s = 0; s < States; ++s) {
        const std::uint64_t p = path_[static_cast<std::size_t>(s)];
        rest[static_cast<std::size_t>(s)] = u - nearTable_[p & 63u] - farTable_[(p >> 6) & 63u];
    }
    // States a and a + States/2 lead to 2a (the new bit -1) and 2a + 1 (+1).
    constexpr int Half = States / 2;
    std::array<double, States> metric{};
    std::array<std::uint64_t, States> path{};
    for (int a = 0; a < Half; ++a) {
        const auto lo = static_cast<std::size_t>(a);
        const auto hi = static_cast<std::size_t>(a + Half);
        const double zeroLo = metric_[lo] - rest[lo];
        const double zeroHi = metric_[hi] - rest[hi];
        const double oneLo = metric_[lo] + rest[lo];
        const double oneHi = metric_[hi] + rest[hi];
        metric[2 * lo] = zeroLo >= zeroHi ? zeroLo : zeroHi;
        path[2 * lo] = (zeroLo >= zeroHi ? path_[lo] : path_[hi]) << 1;
        metric[2 * lo + 1] = oneLo >= oneHi ? oneLo : oneHi;
        path[2 * lo + 1] = ((oneLo >= oneHi ? path_[lo] : path_[hi]) << 1) | 1u;
    }
    int best = 0;
    for (int n = 1; n < States; ++n)
        if (metric[static_cast<std::size_t>(n)] > metric[static_cast<std::size_t>(best)]) best = n;
    best_ = best;
    const double top = metric[static_cast<std::size_t>(best)];
    for (int n = 0; n < States; ++n) metric_[static_cast<std::size_t>(n)] = metric[static_cast<std::size_t>(n)] - top;
    path_ = path;
}

// ----- bit clock -----

namespace {
// Line output: samples of the matched signal around a bit boundary that the
// timing error is measured on.
constexpr double kAcross = 2.0;
}  // namespace

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
    if (!line_) return;
    // The matched signal has no DC. On the alternating preamble each bit's
    // integral is the amplitude times the alternating sum of the interference.
    trellis_.Configure(period);
    constexpr int M = LineTrellis::Memory;
    double alternating = trellis_.Rho(0);
    for (int d = 1; d <= M; ++d) alternating += 2.0 * (d % 2 == 0 ? 1.0 : -1.0) * trellis_.Rho(d);
    dc_ = 0.0;
    amplitude_ = std::max(mid * period / std::fabs(alternating), 1e-6);
    previous_ = ring.Integral(end_ - period, end_);
    trellis_.Reset(previous_ * alternating > 0.0);
    // At a boundary (the matched signal over kAcross samples around it): the
    // bit q places after it (q < 0: before) adds across_[q + M]; and the slope
    // of a lone step's value against the clock's error, per bit period.
    for (int q = -M; q <= 3; ++q)
        across_[static_cast<std::size_t>(q + M)] = trellis_.Overlap(-(q + 0.5) * period, kAcross);
    const auto loneStep = [&](double shift) {
        double sum = 0.0;
        for (int q = -M; q <= M; ++q)
            sum += (q >= 0 ? 1.0 : -1.0) * trellis_.Overlap((shift - q - 0.5) * period, kAcross);
        return sum;
    };
    acrossSlope_ = (loneStep(0.05) - loneStep(-0.05)) / 0.1;
    // Bit i of the best survivor is the bit q = 2 - i places after the boundary.
    for (int v = 0; v < 256; ++v) {
        double near = 0.0;
        double far = 0.0;
        for (int i = 0; i < 8; ++i) {
            const double b = ((v >> i) & 1) != 0 ? 1.0 : -1.0;
            near += b * across_[static_cast<std::size_t>(2 - i + M)];
            if (i < 7 && v < 128) far += b * across_[static_cast<std::size_t>(2 - (i + 8) + M)];
        }
        acrossNear_[static_cast<std::size_t>(v)] = near;
        if (v < 128) acrossFar_[static_cast<std::size_t>(v)] = far;
    }
    lineBits_ = 0;
    lastOut_ = end_ - FrontEnd::LineDelay;
}

bool BitClock::NextLine(const SampleRing& ring, std::int64_t end, SoftBit& out) {
    constexpr int D = LineTrellis::Delay;
    const double rho0 = trellis_.Rho(0);
    for (;;) {
        const double p = period_;
        const double t = end_ + p;
        if (t >= static_cast<double>(end - 1)) return false;
        const double z = ring.Integral(t - p, t);
        const std::int64_t k = lineBits_++;
        values_[static_cast<std::size_t>(k & 63)] = z;
        ends_[static_cast<std::size_t>(k & 63)] = t;
        trellis_.Step(z / amplitude_);
        const std::uint64_t path = trellis_.Best();
        const auto bit = [path](int i) { return ((path >> i) & 1u) != 0 ? 1.0 : -1.0; };
        // Timing from the boundary between bits k-3 and k-2 as the best
        // survivor has them: with a transition there, the matched signal at
        // the boundary (where the likelihood's slope against the timing comes
        // from) less what the bits around it make expected moves with the error.
        double e = 0.0;
        if (k >= 4 && bit(2) != bit(3)) {
            const double boundary = ends_[static_cast<std::size_t>((k - 3) & 63)];
            const double mid = ring.Integral(boundary - 0.5 * kAcross, boundary + 0.5 * kAcross) / amplitude_;
            const double expected = acrossNear_[path & 255u] + acrossFar_[(path >> 8) & 127u];
            e = std::clamp(-(mid - expected) / (bit(2) * acrossSlope_), -0.5, 0.5);
        }
        const double g1 = tracking_ ? 0.06 : 0.2;
        const double g2 = tracking_ ? 0.0008 : 0.01;
        end_ = t + g1 * e * p;
        period_ = std::clamp(period_ + g2 * e * p, 0.98 * nominal_, 1.02 * nominal_);
        lastError_ = e;
        if (k < D) continue;
        // Bit k - D is decided; its soft value is its own integral with the
        // interference of the bits on both sides taken out.
        const std::int64_t m = k - D;
        const double b = bit(D);
        const double z0 = values_[static_cast<std::size_t>(m & 63)];
        const double isi = trellis_.Interference(path, D, true);
        const double v = (z0 / amplitude_ - isi) / rho0;
        const double x = rho0 * b + isi;
        amplitude_ += (tracking_ ? 0.005 : 0.05) * (z0 - amplitude_ * x) * x / (rho0 * rho0);
        amplitude_ = std::max(amplitude_, 1e-6);
        previous_ = v;
        out.value = b * std::max(b * v, 0.02);
        out.expected = x * x / (rho0 * rho0);
        out.fit = z0 / amplitude_ * x / (rho0 * rho0);
        out.time = ends_[static_cast<std::size_t>(m & 63)] - FrontEnd::LineDelay;
        lastOut_ = out.time;
        return true;
    }
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
