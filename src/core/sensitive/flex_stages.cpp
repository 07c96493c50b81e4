// The FLEX decoder's stages (see flex_stages.h).
#include "flex_stages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace quorvel::flex {

// ----- sync search -----

namespace {
// The symbols of the window the four modes share: A's last 16 and B (A's
// first 16 and so the first 16 of A inverted tell the modes apart).
constexpr int kCommonFrom = 16;
constexpr int kCommonTo = 48;
}  // namespace

std::array<std::int8_t, SyncWindowSymbols> SyncSearch::Window(Mode m) {
    std::array<std::int8_t, SyncWindowSymbols> t{};
    const std::uint32_t a = Info(m).syncA;
    const auto put = [&t](int at, std::uint32_t bits, int count) {
        for (int k = 0; k < count; ++k)
            t[static_cast<std::size_t>(at + k)] = ((bits >> (count - 1 - k)) & 1u) != 0 ? 1 : -1;
    };
    put(0, a, 32);
    put(32, SyncB, 16);
    put(48, ~a >> 16, 16);
    return t;
}

SyncSearch::SyncSearch() {
    for (int k = 0; k < SyncWindowSymbols; ++k)
        lag_[static_cast<std::size_t>(k)] = static_cast<int>(std::lround((SyncWindowSymbols - 1 - k) * HeaderPeriod));
    for (int m = 0; m < ModeCount; ++m) templ_[static_cast<std::size_t>(m)] = Window(static_cast<Mode>(m));
    span_ = lag_[0] + Taps;
}

void SyncSearch::Reset() {
    mf_.fill(0.0);
    absMf_.fill(0.0);
    raw_.fill(0.0);
    rawSum_ = 0.0;
    absSum_ = 0.0;
    count_ = 0;
    candidate_ = false;
}

bool SyncSearch::Step(double x, std::int64_t index) {
    const auto r = static_cast<std::size_t>(count_ % Taps);
    rawSum_ += x - raw_[r];
    raw_[r] = x;
    const double mean = rawSum_ / Taps;
    const auto slot = static_cast<std::size_t>(index & (History - 1));
    const auto old = static_cast<std::size_t>((index - span_) & (History - 1));
    absSum_ += std::fabs(mean) - absMf_[old];
    mf_[slot] = mean;
    absMf_[slot] = std::fabs(mean);
    if (++count_ % 4096 == 0) {
        // Keep the running sums from drifting by rounding.
        double s = 0.0;
        for (int k = 0; k < span_; ++k) s += absMf_[static_cast<std::size_t>((index - k) & (History - 1))];
        absSum_ = s;
        rawSum_ = 0.0;
        for (const double v : raw_) rawSum_ += v;
    }
    if (count_ <= span_) return false;

    // The correlation peak is several samples wide: every other sample is
    // enough to find it, and then both of a pair are looked at closely.
    if ((index & 1) == 0) {
        const double meanAbs = absSum_ / span_;
        const double common = Common(index);
        if (meanAbs > 0.0 && std::fabs(common) >= Gate * (kCommonTo - kCommonFrom) * meanAbs) {
            Evaluate(index - 1, Common(index - 1));
            Evaluate(index, common);
        }
    }
    if (candidate_ && index > candidateIndex_ + 4) {
        candidate_ = false;
        hit_ = best_;
        return true;
    }
    return false;
}

double SyncSearch::Common(std::int64_t index) const {
    // The modes' windows agree in A's last 16 symbols and B.
    const auto& t = templ_[0];
    double common = 0.0;
    for (int k = kCommonFrom; k < kCommonTo; ++k)
        common += t[static_cast<std::size_t>(k)] * At(index - lag_[static_cast<std::size_t>(k)]);
    return common;
}

void SyncSearch::Evaluate(std::int64_t index, double common) {
    std::array<double, SyncWindowSymbols> v{};
    for (int k = 0; k < SyncWindowSymbols; ++k) v[static_cast<std::size_t>(k)] = At(index - lag_[static_cast<std::size_t>(k)]);
    // The common symbols are balanced: their mean is the DC, which the
    // modes' own symbols are judged without (the line output's level wanders).
    double dc = 0.0;
    for (int k = kCommonFrom; k < kCommonTo; ++k) dc += v[static_cast<std::size_t>(k)];
    dc /= kCommonTo - kCommonFrom;
    int bestMode = 0;
    double bestCorr = 0.0;
    for (int m = 0; m < ModeCount; ++m) {
        double c = common;
        for (int k = 0; k < SyncWindowSymbols; ++k) {
            if (k == kCommonFrom) k = kCommonTo;
            c += templ_[static_cast<std::size_t>(m)][static_cast<std::size_t>(k)] * (v[static_cast<std::size_t>(k)] - dc);
        }
        if (std::fabs(c) > std::fabs(bestCorr)) {
            bestCorr = c;
            bestMode = m;
        }
    }
    const double sign = bestCorr < 0.0 ? -1.0 : 1.0;
    const auto& t = templ_[static_cast<std::size_t>(bestMode)];
    int errors = 0;
    for (int k = 0; k < SyncWindowSymbols; ++k)
        if (sign * t[static_cast<std::size_t>(k)] * (v[static_cast<std::size_t>(k)] - dc) <= 0.0) ++errors;
    if (errors > MaxErrors) return;
    const double score = std::fabs(bestCorr) / SyncWindowSymbols;
    if (candidate_ && score <= best_.score) return;
    SyncHit h;
    h.mode = static_cast<Mode>(bestMode);
    h.inverted = sign < 0.0;
    h.errors = errors;
    h.score = score;
    double sumCY = 0.0;
    for (int k = 0; k < SyncWindowSymbols; ++k)
        sumCY += sign * t[static_cast<std::size_t>(k)] * (v[static_cast<std::size_t>(k)] - dc);
    h.amplitude = sumCY / SyncWindowSymbols;
    h.dc = dc;
    // The moving mean at `index` is centred on time index - 2.5, the middle of
    // the window's last symbol.
    h.aStart = static_cast<double>(index) - 0.5 * (Taps - 2) - (SyncWindowSymbols - 0.5) * HeaderPeriod;
    best_ = h;
    candidate_ = true;
    candidateIndex_ = index;
}

// ----- symbol clock -----

void SymbolClock::Start(double start, double period) {
    end_ = start;
    nominal_ = period;
    period_ = period;
}

void SymbolClock::ChangeRate(double nominalPeriod) {
    const double ratio = period_ / nominal_;
    nominal_ = nominalPeriod;
    period_ = nominalPeriod * ratio;
}

bool SymbolClock::Next(const sensitive::SampleRing& ring, std::int64_t available, Symbol& out) {
    const double next = end_ + period_;
    if (static_cast<std::int64_t>(std::floor(next)) >= available) return false;
    out.value = ring.Integral(end_, next) / period_;
    out.mid = ring.Integral(end_ - 0.5 * period_, end_ + 0.5 * period_) / period_;
    out.end = next;
    end_ = next;
    return true;
}

void SymbolClock::Correct(double error) {
    error = std::clamp(error, -0.5, 0.5);
    end_ -= kp_ * error * period_;
    period_ -= ki_ * error * period_;
    period_ = std::clamp(period_, nominal_ * (1.0 - MaxDrift), nominal_ * (1.0 + MaxDrift));
}

// ----- pulse filter -----

double PulseFilter::ShapeSigma(int symbolRate) {
    constexpr double kTransmitBandwidthPerRate = 0.8;
    constexpr double kReceiverBandwidthHz = 4000.0;
    // A Gaussian of 3 dB bandwidth B has sigma sqrt(ln 2) / (2 pi B) in time.
    const auto sigma = [](double bandwidth) { return std::sqrt(std::log(2.0)) / (2.0 * 3.14159265358979323846 * bandwidth); };
    return SampleRateHz * std::hypot(sigma(kTransmitBandwidthPerRate * symbolRate), sigma(kReceiverBandwidthHz));
}

PulseFilter::PulseFilter(double sigmaSamples) {
    double sum = 0.0;
    for (int k = -Delay; k <= Delay; ++k) {
        const double t = k / sigmaSamples;
        const double w = std::exp(-0.5 * t * t);
        taps_[static_cast<std::size_t>(k + Delay)] = w;
        sum += w;
    }
    for (double& w : taps_) w /= sum;
}

double PulseFilter::Step(double x) {
    history_[static_cast<std::size_t>(at_)] = x;
    history_[static_cast<std::size_t>(at_ + Length)] = x;
    at_ = at_ + 1 == Length ? 0 : at_ + 1;
    // The taps are symmetric: their order against the samples does not matter.
    double y = 0.0;
    for (std::size_t k = 0; k < taps_.size(); ++k) y += taps_[k] * history_[static_cast<std::size_t>(at_) + k];
    return y;
}

// ----- line equaliser -----

LineEqualiser::TapArray LineEqualiser::Design(double symbolPeriod, double noiseToSignal) {
    // The filter of least mean squared error between its output and the
    // discriminator's levels Delay samples before: NRZ symbols of
    // `symbolPeriod` samples (autocorrelation a triangle), through the audio
    // path's response h, plus white noise at `noiseToSignal` of the line
    // output's power. Normal equations: the output's autocorrelation against
    // the levels' correlation with it.
    const auto h = sensitive::LineImpulseResponse();
    const int hn = static_cast<int>(h.size());
    const auto levels = [symbolPeriod](int m) { return std::max(0.0, 1.0 - std::abs(m) / symbolPeriod); };
    std::array<double, 2 * sensitive::LineResponseLength - 1> rh{};  // h's autocorrelation, lag -95..95
    for (int k = -(hn - 1); k < hn; ++k)
        for (int n = std::max(0, -k); n < hn && n + k < hn; ++n)
            rh[static_cast<std::size_t>(k + hn - 1)] += h[static_cast<std::size_t>(n)] * h[static_cast<std::size_t>(n + k)];
    std::array<double, Length> r{};
    for (int m = 0; m < Length; ++m)
        for (int k = -(hn - 1); k < hn; ++k) r[static_cast<std::size_t>(m)] += rh[static_cast<std::size_t>(k + hn - 1)] * levels(m - k);
    std::vector<double> a(static_cast<std::size_t>(Length * Length));
    std::array<double, Length> b{};
    for (int i = 0; i < Length; ++i) {
        for (int j = 0; j < Length; ++j) a[static_cast<std::size_t>(i * Length + j)] = r[static_cast<std::size_t>(std::abs(i - j))];
        a[static_cast<std::size_t>(i * Length + i)] += noiseToSignal * r[0];
        for (int n = 0; n < hn; ++n) b[static_cast<std::size_t>(i)] += h[static_cast<std::size_t>(n)] * levels(i + n - Delay);
    }
    // Cholesky: a = L L^T, then the two triangular solves.
    for (int j = 0; j < Length; ++j) {
        double d = a[static_cast<std::size_t>(j * Length + j)];
        for (int k = 0; k < j; ++k) d -= a[static_cast<std::size_t>(j * Length + k)] * a[static_cast<std::size_t>(j * Length + k)];
        d = std::sqrt(d);
        a[static_cast<std::size_t>(j * Length + j)] = d;
        for (int i = j + 1; i < Length; ++i) {
            double v = a[static_cast<std::size_t>(i * Length + j)];
            for (int k = 0; k < j; ++k) v -= a[static_cast<std::size_t>(i * Length + k)] * a[static_cast<std::size_t>(j * Length + k)];
            a[static_cast<std::size_t>(i * Length + j)] = v / d;
        }
    }
    for (int i = 0; i < Length; ++i) {
        double v = b[static_cast<std::size_t>(i)];
        for (int k = 0; k < i; ++k) v -= a[static_cast<std::size_t>(i * Length + k)] * b[static_cast<std::size_t>(k)];
        b[static_cast<std::size_t>(i)] = v / a[static_cast<std::size_t>(i * Length + i)];
    }
    TapArray taps{};
    for (int i = Length - 1; i >= 0; --i) {
        double v = b[static_cast<std::size_t>(i)];
        for (int k = i + 1; k < Length; ++k) v -= a[static_cast<std::size_t>(k * Length + i)] * taps[static_cast<std::size_t>(k)];
        taps[static_cast<std::size_t>(i)] = v / a[static_cast<std::size_t>(i * Length + i)];
    }
    return taps;
}

void LineEqualiser::Clear() {
    history_.fill(0.0);
    at_ = 0;
}

double LineEqualiser::Step(double x) {
    // The newest sample meets the first tap.
    at_ = at_ == 0 ? Length - 1 : at_ - 1;
    history_[static_cast<std::size_t>(at_)] = x;
    history_[static_cast<std::size_t>(at_ + Length)] = x;
    return sensitive::Dot(taps_.data(), history_.data() + at_, Length);
}

// ----- slicer -----

void Slicer::Start(double dc, double amplitude, int levels) {
    dc_ = dc;
    amplitude_ = amplitude > 0.0 ? amplitude : 1.0;
    levels_ = levels;
    before_ = after_ = 0.0;
    adapt_ = false;
    holdLevel_ = false;
    Restart();
}

void Slicer::Restart() {
    pending_ = false;
    havePrevious_ = false;
}

double Slicer::Decide(double u) const {
    if (levels_ == 2) return u >= 0.0 ? 1.0 : -1.0;
    if (u >= 2.0 / 3.0) return 1.0;
    if (u >= 0.0) return 1.0 / 3.0;
    if (u >= -2.0 / 3.0) return -1.0 / 3.0;
    return -1.0;
}

bool Slicer::Push(double y, double& u, double& decision) {
    const double next = Normalise(y);
    const bool out = pending_ && Out(Decide(next), u, decision);
    pendingU_ = next;
    pending_ = true;
    return out;
}

bool Slicer::Flush(double& u, double& decision) {
    if (!pending_) return false;
    pending_ = false;
    return Out(0.0, u, decision);
}

bool Slicer::Out(double next, double& u, double& decision) {
    constexpr double kLevelRate = 0.004;
    constexpr double kDcRate = 0.02;
    constexpr double kSpillRate = 0.004;
    constexpr double kMaxSpill = 0.3;
    const double previous = havePrevious_ ? previous_ : 0.0;
    u = pendingU_ - before_ * previous - after_ * next;
    decision = Decide(u);
    if (adapt_) {
        const double e = speed_ * std::clamp(u - decision, -0.5, 0.5);
        dc_ += kDcRate * e * amplitude_;
        if (!holdLevel_) amplitude_ *= 1.0 + kLevelRate * e * decision;
        before_ = std::clamp(before_ + kSpillRate * e * previous, -kMaxSpill, kMaxSpill);
        after_ = std::clamp(after_ + kSpillRate * e * next, -kMaxSpill, kMaxSpill);
    }
    previous_ = decision;
    havePrevious_ = true;
    return true;
}

void Slicer::Soft(double u, float& first, float& second) const {
    if (levels_ == 2) {
        first = static_cast<float>(u);
        second = 0.0f;
        return;
    }
    // Gray mapping: the first bit is the sign, the second means "inner level".
    first = static_cast<float>(3.0 * u);
    second = static_cast<float>(2.0 - 3.0 * std::fabs(u));
}

// ----- frame buffer -----

std::uint32_t FrameBuffer::Word(int phase, int w, std::span<float, 32> soft) const {
    std::uint32_t word = 0;
    const auto& s = soft_[static_cast<std::size_t>(phase)];
    for (int k = 0; k < 32; ++k) {
        const float v = s[static_cast<std::size_t>(Position(w, k))];
        soft[static_cast<std::size_t>(k)] = v;
        if (v > 0.0f) word |= 1u << k;
    }
    return word;
}

double FrameBuffer::NoiseVariance(int phase, bool signOfFour, int first, int count) const {
    double sum = 0.0;
    const auto& s = soft_[static_cast<std::size_t>(phase)];
    for (int k = first; k < first + count; ++k) {
        const double a = std::fabs(s[static_cast<std::size_t>(k)]);
        const double d = a - (signOfFour && a >= 2.0 ? 3.0 : 1.0);
        sum += d * d;
    }
    return sum / count;
}

// ----- fragments -----

FragmentJoiner::FragmentJoiner() {
    for (Slot& s : slots_) s.text.reserve(4 * 256);
}

int FragmentJoiner::Open() const {
    return static_cast<int>(std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.used; }));
}

int FragmentJoiner::Clear() {
    const int open = Open();
    for (Slot& s : slots_) s.used = false;
    return open;
}

namespace {
constexpr int kFrameCounts = Cycles * Frames;
int FrameGap(int from, int to) { return ((to - from) % kFrameCounts + kFrameCounts) % kFrameCounts; }
}  // namespace

int FragmentJoiner::Expire(int frameCount) {
    int dropped = 0;
    for (Slot& s : slots_)
        if (s.used && FrameGap(s.lastFrame, frameCount) > MaxGapFrames) {
            s.used = false;
            ++dropped;
        }
    return dropped;
}

FragmentJoiner::Result FragmentJoiner::Add(std::uint64_t capcode, int number, int fragmentCode, bool more, int frameCount,
                                           const std::string& part, int corrected, std::string& text, int& fragments,
                                           int& totalCorrected) {
    Slot* slot = nullptr;
    for (Slot& s : slots_)
        if (s.used && s.capcode == capcode && s.number == number) slot = &s;
    if (fragmentCode == FragmentCode(0)) {
        if (!more) {
            text = part;
            fragments = 1;
            totalCorrected = corrected;
            return Result::Complete;
        }
        if (slot == nullptr) {
            for (Slot& s : slots_)
                if (!s.used) {
                    slot = &s;
                    break;
                }
            if (slot == nullptr) {
                // Every slot taken: the one waiting longest gives way.
                slot = &slots_[0];
                for (Slot& s : slots_)
                    if (FrameGap(s.lastFrame, frameCount) > FrameGap(slot->lastFrame, frameCount)) slot = &s;
            }
        }
        slot->used = true;
        slot->capcode = capcode;
        slot->number = number;
        slot->count = 1;
        slot->lastFrame = frameCount;
        slot->corrected = corrected;
        slot->text.assign(part);
        return Result::Pending;
    }
    if (slot == nullptr) return Result::Dropped;
    if (fragmentCode != FragmentCode(slot->count) || FrameGap(slot->lastFrame, frameCount) > MaxGapFrames ||
        FrameGap(slot->lastFrame, frameCount) == 0) {
        slot->used = false;
        return Result::Dropped;
    }
    slot->text.append(part);
    ++slot->count;
    slot->lastFrame = frameCount;
    slot->corrected += corrected;
    if (more) return Result::Pending;
    text = slot->text;
    fragments = slot->count;
    totalCorrected = slot->corrected;
    slot->used = false;
    return Result::Complete;
}

}  // namespace quorvel::flex
