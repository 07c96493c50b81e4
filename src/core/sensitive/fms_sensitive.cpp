// The sensitive FMS decoder's stages and block handling. See fms_sensitive.h
// for the signal, its layout and what each stage takes and gives.
#include "fms_sensitive.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/fms.h"

namespace quorvel {
namespace fms_sensitive {

namespace {

// One-pole DC estimate: corner at about 11025 / (2 pi 128) = 14 Hz.
constexpr double DcGain = 1.0 / 128.0;

constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
static_assert(FloorDiv(-1, 1024) == -1 && FloorDiv(1023, 1024) == 0 && FloorDiv(1024, 1024) == 1);

// e^(j 2 pi f t / 11025).
Cx PhasorAt(double f, double t) {
    // Reduce the phase first: t grows without bound, the tones repeat after 147 samples.
    const double cycles = f * t / fms::SampleRate;
    const double frac = cycles - std::floor(cycles);
    const double a = 2.0 * std::numbers::pi * frac;
    return {std::cos(a), std::sin(a)};
}

}  // namespace

// ----- front end -----

FmsFrontEnd::FmsFrontEnd() {
    for (std::int32_t tone = 0; tone < 2; ++tone) {
        for (std::int32_t p = 0; p < fms::TonePeriod; ++p) {
            // f p / 11025 in whole cycles per 147 samples: 24 for 1800 Hz, 16 for 1200 Hz.
            const double cycles = fms::ToneHz[static_cast<std::size_t>(tone)] * 147.0 / fms::SampleRate;
            const double a = 2.0 * std::numbers::pi * std::fmod(cycles * p, 147.0) / 147.0;
            cos_[static_cast<std::size_t>(tone)][static_cast<std::size_t>(p)] = std::cos(a);
            sin_[static_cast<std::size_t>(tone)][static_cast<std::size_t>(p)] = std::sin(a);
        }
    }
}

void FmsFrontEnd::Process(const SampleArray& block) {
    const auto slot = static_cast<std::size_t>((end_ / FramesPerBlock) % HistoryBlocks);
    auto& zero = tone_[0][slot];
    auto& one = tone_[1][slot];
    auto& energy = energy_[slot];
    const auto& c0 = cos_[0];
    const auto& s0 = sin_[0];
    const auto& c1 = cos_[1];
    const auto& s1 = sin_[1];
    double dc = dc_;
    std::size_t p = static_cast<std::size_t>(phase_);
    Cx a0{};
    Cx a1{};
    double e = 0.0;
    for (std::size_t i = 0; i < FramesPerBlock; ++i) {
        const double x = block[i];
        const double y = x - dc;
        dc = dc + DcGain * (x - dc);
        a0.re += y * c0[p];
        a0.im -= y * s0[p];
        a1.re += y * c1[p];
        a1.im -= y * s1[p];
        e += y * y;
        zero[i] = a0;
        one[i] = a1;
        energy[i] = e;
        p = p + 1 == static_cast<std::size_t>(fms::TonePeriod) ? 0 : p + 1;
    }
    dc_ = dc;
    phase_ = static_cast<std::int32_t>(p);
    end_ += FramesPerBlock;
}

template <class T>
T FmsFrontEnd::RangeSum(const std::array<std::array<T, FramesPerBlock>, HistoryBlocks>& running, std::int64_t first,
                        std::int64_t last) {
    T s{};
    if (last < first) return s;
    const std::int64_t bf = first / FramesPerBlock;
    const std::int64_t bl = last / FramesPerBlock;
    s = running[static_cast<std::size_t>(bl % HistoryBlocks)][static_cast<std::size_t>(last % FramesPerBlock)];
    for (std::int64_t b = bf; b < bl; ++b) s = s + running[static_cast<std::size_t>(b % HistoryBlocks)][FramesPerBlock - 1];
    const std::int64_t within = first % FramesPerBlock;
    if (within != 0) s = s - running[static_cast<std::size_t>(bf % HistoryBlocks)][static_cast<std::size_t>(within - 1)];
    return s;
}

Cx FmsFrontEnd::ToneSum(std::int32_t tone, std::int64_t first, std::int64_t last) const {
    // Samples not held (before the oldest, or not yet there) count as silence.
    first = std::max(first, Oldest());
    last = std::min(last, end_ - 1);
    return RangeSum(tone_[static_cast<std::size_t>(tone)], first, last);
}

double FmsFrontEnd::EnergySum(std::int64_t first, std::int64_t last) const {
    first = std::max(first, Oldest());
    last = std::min(last, end_ - 1);
    return RangeSum(energy_, first, last);
}

// ----- per-bit correlation -----

void CorrelateBitWith(const FmsFrontEnd& fe, double t, std::int64_t shift, FmsBitCorrelation& out) {
    out.first = static_cast<std::int64_t>(std::ceil(t)) + shift;
    out.last = static_cast<std::int64_t>(std::ceil(t + fms::BitSamples)) - 1 + shift;
    for (std::int32_t tone = 0; tone < 2; ++tone) {
        const auto k = static_cast<std::size_t>(tone);
        out.c[k] = out.phasor[k] * fe.ToneSum(tone, out.first, out.last);
    }
    out.energy = fe.EnergySum(out.first, out.last);
}

FmsBitCorrelation CorrelateBit(const FmsFrontEnd& fe, double t) {
    FmsBitCorrelation out;
    for (std::size_t k = 0; k < 2; ++k) out.phasor[k] = PhasorAt(fms::ToneHz[k], t);
    CorrelateBitWith(fe, t, 0, out);
    return out;
}

// ----- sync correlator -----

FmsSyncCorrelator::FmsSyncCorrelator() {
    constexpr std::array<std::uint8_t, 8> Sync = {0, 0, 0, 1, 1, 0, 1, 0};
    for (std::int32_t i = 0; i < PreambleBits; ++i) bits_[static_cast<std::size_t>(i)] = 1;
    for (std::size_t i = 0; i < Sync.size(); ++i) bits_[static_cast<std::size_t>(PreambleBits) + i] = Sync[i];
    // Bit i's correlation, referred to its own start d (relative to the end
    // time n), is e^(j 2 pi f (n + d) / 11025) times the tone sum over its
    // samples; with the sign s_i that the phase steps of the bits before it
    // give, the template's correlation is e^(j 2 pi 1200 n / 11025) A +
    // e^(j 2 pi 1800 n / 11025) B, A and B sums over the 1200 Hz and the
    // 1800 Hz bits of s_i e^(j 2 pi f d / 11025) (which is +1 or -1: a bit is
    // a whole number of half-cycles of both tones) times the tone sums.
    double s = 1.0;
    runCount_ = 0;
    for (std::int32_t i = 0; i < TemplateBits; ++i) {
        const std::uint8_t bit = bits_[static_cast<std::size_t>(i)];
        const double d = -static_cast<double>(TemplateBits - i) * fms::BitSamples;
        const auto first = static_cast<std::int32_t>(std::ceil(d));
        const auto last = static_cast<std::int32_t>(std::ceil(d + fms::BitSamples)) - 1;
        const std::int32_t tone = bit != 0 ? fms::One : fms::Zero;
        const Cx g = s * PhasorAt(fms::ToneHz[static_cast<std::size_t>(tone)], d);
        const double sign = g.re > 0.0 ? 1.0 : -1.0;
        runFirst_[static_cast<std::size_t>(i)] = first;
        if (runCount_ > 0) {
            Run& r = runs_[static_cast<std::size_t>(runCount_ - 1)];
            if (r.tone == tone && r.sign == sign) {
                r.last = last;
                s = bit != 0 ? s : -s;
                continue;
            }
        }
        runs_[static_cast<std::size_t>(runCount_++)] = {tone, first, last, sign};
        s = bit != 0 ? s : -s;
    }
    for (std::int32_t p = 0; p < fms::TonePeriod; ++p) {
        const double a = 2.0 * std::numbers::pi * static_cast<double>((8 * p) % 147) / 147.0;
        turn_[static_cast<std::size_t>(p)] = {std::cos(a), std::sin(a)};
    }
}

double FmsSyncCorrelator::Power(const FmsFrontEnd& fe, std::int64_t n) const {
    Cx a{};
    Cx b{};
    for (std::int32_t r = 0; r < runCount_; ++r) {
        const Run& run = runs_[static_cast<std::size_t>(r)];
        const Cx v = run.sign * fe.ToneSum(run.tone, n + run.first, n + run.last);
        if (run.tone == fms::One) {
            a = a + v;
        } else {
            b = b + v;
        }
    }
    const Cx turn = turn_[static_cast<std::size_t>(((n % fms::TonePeriod) + fms::TonePeriod) % fms::TonePeriod)];
    return Norm(a + turn * b);
}

double FmsSyncCorrelator::WeakerToneScore(const FmsFrontEnd& fe, std::int64_t n) const {
    std::array<Cx, 2> sum{};
    std::array<double, 2> energy{};
    std::array<double, 2> count{};
    for (std::int32_t r = 0; r < runCount_; ++r) {
        const Run& run = runs_[static_cast<std::size_t>(r)];
        const auto k = static_cast<std::size_t>(run.tone);
        sum[k] = sum[k] + run.sign * fe.ToneSum(run.tone, n + run.first, n + run.last);
        energy[k] += fe.EnergySum(n + run.first, n + run.last);
        count[k] += static_cast<double>(run.last - run.first + 1);
    }
    double weaker = 1.0;
    for (std::size_t k = 0; k < 2; ++k) {
        const double s = energy[k] > 0.0 ? Norm(sum[k]) / (energy[k] * count[k] / 2.0) : 0.0;
        weaker = std::min(weaker, s);
    }
    return weaker;
}

bool FmsSyncCorrelator::BitsInPlace(const FmsFrontEnd& fe, double t) const {
    std::array<std::array<double, 2>, 3> group{};  // preamble, sync "1", sync "0"; energy per tone
    for (std::int32_t i = 0; i < TemplateBits; ++i) {
        const std::uint8_t bit = bits_[static_cast<std::size_t>(i)];
        const FmsBitCorrelation c = CorrelateBit(fe, t - static_cast<double>(TemplateBits - i) * fms::BitSamples);
        const std::size_t g = i < PreambleBits ? 0 : (bit != 0 ? 1 : 2);
        group[g][0] += Norm(c.c[fms::Zero]);
        group[g][1] += Norm(c.c[fms::One]);
    }
    // Over one bit a tone leaks into the other tone's correlator by about 0.4
    // of its energy (0.5..0.7 for the tones of five-tone calls near 1800 Hz,
    // with the bit edges): a group holding the wrong tone scores that; noise
    // about 1, so a weak telegram passes.
    constexpr double Least = 0.8;
    return group[0][fms::One] > Least * group[0][fms::Zero] && group[1][fms::One] > Least * group[1][fms::Zero] &&
           group[2][fms::Zero] > Least * group[2][fms::One];
}

double FmsSyncCorrelator::Score(const FmsFrontEnd& fe, std::int64_t n) const {
    const std::int32_t first = runs_[0].first;
    const std::int32_t last = runs_[static_cast<std::size_t>(runCount_ - 1)].last;
    const double energy = fe.EnergySum(n + first, n + last);
    const double count = static_cast<double>(last - first + 1);
    // Below about one unit of amplitude per sample there is nothing to decode.
    if (!(energy > count)) return 0.0;
    return Power(fe, n) / (energy * count / 2.0);
}

Cx FmsSyncCorrelator::ReferenceAt(const FmsFrontEnd& fe, double t) const {
    Cx sum{};
    double s = 1.0;
    for (std::int32_t i = 0; i < TemplateBits; ++i) {
        const std::uint8_t bit = bits_[static_cast<std::size_t>(i)];
        const FmsBitCorrelation c = CorrelateBit(fe, t - static_cast<double>(TemplateBits - i) * fms::BitSamples);
        sum = sum + s * c.c[bit != 0 ? fms::One : fms::Zero];
        s = bit != 0 ? s : -s;
    }
    // In the frame of the bit after the template.
    return s * sum;
}

bool FmsSyncCorrelator::Scan(const FmsFrontEnd& fe, std::int64_t& next, double& found) {
    // A peak is confirmed when this many later end times have not exceeded it.
    constexpr std::int64_t Confirm = 5;
    constexpr double Coarse = 0.6;
    const std::int64_t oldestEnd = fe.Oldest() + Span();
    if (next < oldestEnd) next = oldestEnd;
    while (next <= fe.End()) {
        const std::int64_t n = next++;
        if (peakAt_ >= 0) {
            const double p = Power(fe, n);
            if (p > peakScore_) {
                peakAt_ = n;
                peakScore_ = p;
            } else if (n - peakAt_ >= Confirm) {
                const double before = Power(fe, peakAt_ - 1);
                const double after = Power(fe, peakAt_ + 1);
                const double curve = before - 2.0 * peakScore_ + after;
                double delta = curve < 0.0 ? 0.5 * (before - after) / curve : 0.0;
                delta = std::clamp(delta, -0.5, 0.5);
                found = static_cast<double>(peakAt_) + delta;
                peakAt_ = -1;
                return true;
            }
        } else if ((n & 1) == 0) {
            // The search looks at every other end time: a score drops by less
            // than a fifth one sample off its peak, so a score above
            // Coarse * Threshold sends it to look at the one before as well.
            const double score = Score(fe, n);
            if (score >= Threshold) {
                peakAt_ = n;
                peakScore_ = Power(fe, n);
            } else if (score >= Coarse * Threshold && Score(fe, n - 1) >= Threshold) {
                peakAt_ = n - 1;
                peakScore_ = Power(fe, n - 1);
                const double p = Power(fe, n);
                if (p > peakScore_) {
                    peakAt_ = n;
                    peakScore_ = p;
                }
            }
        }
    }
    return false;
}

// ----- bit detector -----

void FmsBitDetector::Start(double t0, Cx reference, double weight) {
    const double size = std::sqrt(Norm(reference));
    // The reference as `weight` bits' worth of the correlation it was summed from.
    ref_ = size > 0.0 ? (weight / static_cast<double>(FmsSyncCorrelator::TemplateBits)) * reference : Cx{};
    nextTime_ = t0;
    queued_ = 0;
    historyNext_ = 0;
    historyCount_ = 0;
    sinceTiming_ = 0;
    timingAdjust_ = 0.0;
    for (std::size_t side = 0; side < 2; ++side)
        for (std::size_t tone = 0; tone < 2; ++tone)
            shiftTurn_[side][tone] = PhasorAt(fms::ToneHz[tone], side == 0 ? -1.0 : 1.0);
    decided_ = 0.0;
    total_ = 0.0;
    weak_ = 0;
}

bool FmsBitDetector::Ready(const FmsFrontEnd& fe) const {
    const double t = queued_ > 0 ? times_[0] : nextTime_;
    // Three bits from t, and one sample more for the late window.
    return static_cast<std::int64_t>(std::ceil(t + 3.0 * fms::BitSamples)) + 1 <= fe.End();
}

void FmsBitDetector::Fill(const FmsFrontEnd& fe, std::size_t slot, double t) {
    queue_[slot] = CorrelateBit(fe, t);
    times_[slot] = t;
}

std::uint8_t FmsBitDetector::Next(const FmsFrontEnd& fe) {
    while (queued_ < 3) {
        Fill(fe, static_cast<std::size_t>(queued_), nextTime_);
        nextTime_ += fms::BitSamples;
        ++queued_;
    }
    const FmsBitCorrelation& k0 = queue_[0];
    const FmsBitCorrelation& k1 = queue_[1];
    const FmsBitCorrelation& k2 = queue_[2];
    // Eight hypotheses for bits k, k+1, k+2: each bit's correlation in the
    // frame of bit k (a "0" turns the phase of what follows by half a cycle).
    double best = -1.0;
    std::array<double, 2> bestOf{-1.0, -1.0};  // best score with bit k = 0, = 1
    std::uint8_t bit = 1;
    for (std::uint32_t h = 0; h < 8; ++h) {
        const std::uint32_t b0 = (h >> 2) & 1u;
        const std::uint32_t b1 = (h >> 1) & 1u;
        const std::uint32_t b2 = h & 1u;
        Cx v = ref_ + k0.c[b0];
        double s = b0 != 0 ? 1.0 : -1.0;
        v = v + s * k1.c[b1];
        s = b1 != 0 ? s : -s;
        v = v + s * k2.c[b2];
        const double m = Norm(v);
        if (m > bestOf[b0]) bestOf[b0] = m;
        if (m > best) {
            best = m;
            bit = static_cast<std::uint8_t>(b0);
        }
    }
    // A bit whose other value scores almost as well is weak.
    if (best > 0.0 && (best - bestOf[1u - bit]) < WeakMargin * best) ++weak_;
    const double count = static_cast<double>(k0.last - k0.first + 1);
    decided_ += Norm(k0.c[bit]);
    total_ += k0.energy * count / 2.0;

    // Timing: every few bits the last TimingBits decided bits, as one piece
    // of the decided signal, are correlated one sample earlier and later
    // (windows and phase references moved together); the peak of the
    // parabola through the three is the timing error.
    history_[static_cast<std::size_t>(historyNext_)] = k0;
    historyTime_[static_cast<std::size_t>(historyNext_)] = times_[0];
    historyBit_[static_cast<std::size_t>(historyNext_)] = bit;
    historyNext_ = (historyNext_ + 1) % TimingBits;
    historyCount_ = std::min(historyCount_ + 1, TimingBits);
    if (++sinceTiming_ >= TimingEvery && historyCount_ == TimingBits) {
        sinceTiming_ = 0;
        std::array<double, 3> g{};
        for (std::int64_t shift = -1; shift <= 1; ++shift) {
            Cx v{};
            double sign = 1.0;
            for (std::int32_t i = 0; i < TimingBits; ++i) {
                const auto slot = static_cast<std::size_t>((historyNext_ + i) % TimingBits);
                FmsBitCorrelation c = history_[slot];
                const std::uint8_t b = historyBit_[slot];
                if (shift != 0) {
                    c.phasor[b] = c.phasor[b] * shiftTurn_[shift < 0 ? 0 : 1][b];
                    CorrelateBitWith(fe, historyTime_[slot], shift, c);
                }
                v = v + sign * c.c[b];
                sign = b != 0 ? sign : -sign;
            }
            g[static_cast<std::size_t>(shift + 1)] = Norm(v);
        }
        const double curve = g[0] - 2.0 * g[1] + g[2];
        if (curve < 0.0) {
            const double delta = std::clamp(0.5 * (g[0] - g[2]) / curve, -1.0, 1.0);
            nextTime_ += TimingGain * delta;
            timingAdjust_ += TimingGain * delta;
        }
    }
    ref_ = (bit != 0 ? Lambda : -Lambda) * (ref_ + k0.c[bit]);
    queue_[0] = queue_[1];
    queue_[1] = queue_[2];
    times_[0] = times_[1];
    times_[1] = times_[2];
    queued_ = 2;
    return bit;
}

double FmsBitDetector::TakeQuality() {
    const double q = total_ > 0.0 ? decided_ / total_ : 0.0;
    weakTaken_ = weak_;
    weak_ = 0;
    decided_ = 0.0;
    total_ = 0.0;
    return q;
}

}  // namespace fms_sensitive

// ----- decoder -----

namespace {

constexpr std::int64_t FramesPerBit = 10;

std::uint32_t Field(const std::array<std::uint8_t, 48>& bits, int a, int b) {
    std::uint32_t v = 0;
    for (int k = a; k <= b; ++k) v |= static_cast<std::uint32_t>(bits[static_cast<std::size_t>(k)] & 1u) << (k - a);
    return v;
}

}  // namespace

void SensitiveFmsDecoder::ProcessBlock() {
    using namespace fms_sensitive;
    fe_.Process(ctx_.SampleBlock);
    for (;;) {
        if (!inTransmission_) {
            double t0 = 0.0;
            if (!sync_.Scan(fe_, searchNext_, t0)) break;
            if (sync_.WeakerToneScore(fe_, std::llround(t0)) < MinToneScore || !sync_.BitsInPlace(fe_, t0)) {
                ++refusedSyncs_;
                continue;
            }
            const Cx reference = sync_.ReferenceAt(fe_, t0);
            bits_.Start(t0, reference, ReferenceWeight);
            inTransmission_ = true;
            blockCount_ = 0;
            bitCount_ = 0;
            blockStart_ = static_cast<std::int64_t>(std::floor(t0));
            ctx_.ActivityLine.Set("FMS");
        }
        while (bitCount_ < 48 && bits_.Ready(fe_)) block_[static_cast<std::size_t>(bitCount_++)] = bits_.Next(fe_);
        if (bitCount_ < 48) break;
        HandleBlock();
    }
}

void SensitiveFmsDecoder::HandleBlock() {
    const double quality = bits_.TakeQuality();
    const std::int32_t weak = bits_.WeakBits();
    const FmsCheck check = FmsCheckOf(block_);
    const std::int64_t thisBlock = blockStart_;
    const double nextStart = bits_.NextBitStart();
    blockStart_ = static_cast<std::int64_t>(std::floor(nextStart));
    bitCount_ = 0;
    // Found where the block ends, in the current input block.
    const std::int64_t inputBlockStart = fe_.End() - FramesPerBlock;
    const auto inBlock = static_cast<std::int32_t>(std::clamp<std::int64_t>(blockStart_ - inputBlockStart, 0, FramesPerBlock - 1));
    lastQuality_ = quality;
    const bool implausible = blockCount_ == 0 && Repeating(block_);
    if (check != FmsCheck::Ok || quality < MinQuality || weak > MaxWeakBits || implausible) {
        ++dropped_;
        if (blockCount_ > 1) ctx_.events.OnEvent(FmsTextEnd{ctx_.Origin(inBlock), true});
        // A failed status telegram: the search goes on past its sync word (the
        // peak lies at the telegram's start). A failed follow-on block: from
        // its start, where a new transmission may already begin.
        EndTransmission(blockCount_ == 0 ? thisBlock + 2 * FramesPerBit : thisBlock);
        return;
    }
    if (blockCount_ == 0) {
        FmsTelegram telegram;
        telegram.at = ctx_.Origin(inBlock);
        telegram.bits = block_;
        telegram.firstUndecided = 48;
        telegram.check = FmsCheck::Ok;
        ctx_.events.OnEvent(telegram);
    } else {
        FmsTextBlock text;
        text.at = ctx_.Origin(inBlock);
        text.index = blockCount_;
        text.bits = block_;
        text.firstUndecided = 48;
        const int first = blockCount_ == 1 ? 8 : 0;
        if (blockCount_ == 1) text.number = static_cast<std::int32_t>(Field(block_, 1, 6) * 2);
        for (int offset = first; offset <= 24; offset += 8)
            text.characters += static_cast<char>(Field(block_, offset, offset + 6) & 127u);
        ctx_.events.OnEvent(text);
    }
    if (blockCount_ < 2) ++blockCount_;
}

bool SensitiveFmsDecoder::Repeating(const std::array<std::uint8_t, 48>& bits) {
    for (int period = 1; period <= MaxPeriod; ++period) {
        bool same = true;
        for (int k = period; k < 40 && same; ++k) same = bits[static_cast<std::size_t>(k)] == bits[static_cast<std::size_t>(k - period)];
        if (same) return true;
    }
    return false;
}

void SensitiveFmsDecoder::EndTransmission(std::int64_t resumeAt) {
    // A sync word found from here on lies wholly after what was read: no
    // template overlaps the bits of a block already decoded.
    resumeAt += sync_.Span();
    inTransmission_ = false;
    blockCount_ = 0;
    bitCount_ = 0;
    sync_.Reset();
    searchNext_ = resumeAt;
}

void SensitiveFmsDecoder::FinishInput() {
    if (inTransmission_ && blockCount_ > 1) ctx_.events.OnEvent(FmsTextEnd{ctx_.Origin(), false});
    EndTransmission(fe_.End());
}

}  // namespace quorvel
