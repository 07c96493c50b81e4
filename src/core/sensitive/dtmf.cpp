// The DTMF decoder's stages and sequence assembly. See dtmf.h for the signal
// and what each stage takes and gives.
#include "dtmf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

namespace quorvel {
namespace dtmf {

namespace {

using tone_sensitive::Cx;
using tone_sensitive::Hop;
using tone_sensitive::ToneFilterBank;

constexpr double Rate = 11025.0;

double Norm(Cx a) { return a.re * a.re + a.im * a.im; }

// Median of n values (n > 0); reorders them.
template <std::size_t N>
double Median(std::array<double, N>& v, std::size_t n) {
    const auto middle = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(v.begin(), middle, v.begin() + static_cast<std::ptrdiff_t>(n));
    return *middle;
}

// The frequency of a tone on filter j from its summed phase advance per hop.
double MeasuredHz(double filterHz, Cx advance) {
    if (!(Norm(advance) > 0.0)) return filterHz;
    const double expected = 2.0 * std::numbers::pi * filterHz * Hop / Rate;
    double d = std::atan2(advance.im, advance.re) - expected;
    d -= 2.0 * std::numbers::pi * std::floor((d + std::numbers::pi) / (2.0 * std::numbers::pi));
    return filterHz + d * Rate / (2.0 * std::numbers::pi * Hop);
}

}  // namespace

std::int32_t KeyIndex(char key) {
    for (std::size_t k = 0; k < Keys.size(); ++k)
        if (Keys[k] == key) return static_cast<std::int32_t>(k);
    return -1;
}

// ----- classifier -----

std::int32_t DtmfHopClassifier::Classify(const ToneFilterBank& bank) {
    if (bank.Count() != FilterCount) return -1;
    std::array<double, FilterCount> others{};
    std::size_t n = 0;
    for (std::int32_t j = KeyFilters; j < FilterCount; ++j) others[n++] = bank.Power(j);
    const double floor = Median(others, n);
    std::int32_t pair[2] = {0, 4};
    for (std::int32_t g = 0; g < 2; ++g) {
        const std::int32_t first = 4 * g;
        std::int32_t best = first;
        for (std::int32_t j = first + 1; j < first + 4; ++j)
            if (bank.Power(j) > bank.Power(best)) best = j;
        const double p = bank.Power(best);
        if (!(p > 0.0) || !(p >= FloorRatio * floor)) return -1;
        for (std::int32_t j = first; j < first + 4; ++j)
            if (j != best && GroupRatio * bank.Power(j) > p) return -1;
        pair[g] = best;
    }
    const double low = bank.Power(pair[0]);
    const double high = bank.Power(pair[1]);
    if (low > MaxTwist * high || high > MaxTwist * low) return -1;
    return pair[0] * 4 + (pair[1] - 4);
}

// ----- segmenter -----

void DtmfSegmenter::Reset() {
    run_ = -1;
    drops_ = 0;
    pending_ = -1;
    pendingCount_ = 0;
    before_.fill({});
    beforeNext_ = 0;
    hopCount_ = 0;
    overflow_ = 0;
}

DtmfSegmenter::HopAmplitudes DtmfSegmenter::Amplitudes(const ToneFilterBank& bank) {
    HopAmplitudes a{};
    for (std::int32_t j = 0; j < FilterCount; ++j) a[static_cast<std::size_t>(j)] = std::sqrt(Norm(bank.Value(j)));
    return a;
}

void DtmfSegmenter::Begin(std::int32_t label) {
    run_ = label;
    drops_ = 0;
    pending_ = -1;
    pendingCount_ = 0;
    labelled_ = 0;
    lastHopEnd_ = 0;
    power_.fill(0.0);
    lowAdvance_ = {};
    highAdvance_ = {};
    hopCount_ = 0;
    overflow_ = 0;
    // The hops just before the first labelled one may hold the key's start.
    for (std::int32_t k = 0; k < PreHops; ++k) {
        hops_[static_cast<std::size_t>(hopCount_)] = before_[static_cast<std::size_t>((beforeNext_ + k) % PreHops)];
        hopLabelled_[static_cast<std::size_t>(hopCount_)] = false;
        ++hopCount_;
    }
}

void DtmfSegmenter::Add(const ToneFilterBank& bank, bool labelled) {
    if (labelled) {
        const std::int64_t hopEnd = bank.End();
        for (std::int32_t j = 0; j < FilterCount; ++j) power_[static_cast<std::size_t>(j)] += bank.Power(j);
        if (labelled_ > 0 && hopEnd - lastHopEnd_ == Hop) {
            // Phase advance of each key filter from the hop before.
            const auto advance = [&bank](std::int32_t j) {
                const Cx v = bank.Value(j);
                const Cx p = bank.PreviousValue(j);
                return Cx{v.re * p.re + v.im * p.im, v.im * p.re - v.re * p.im};
            };
            const Cx a = advance(run_ / 4);
            const Cx b = advance(4 + run_ % 4);
            lowAdvance_ = {lowAdvance_.re + a.re, lowAdvance_.im + a.im};
            highAdvance_ = {highAdvance_.re + b.re, highAdvance_.im + b.im};
        }
        if (labelled_ == 0) runStart_ = hopEnd;
        lastHopEnd_ = hopEnd;
        ++labelled_;
    }
    if (hopCount_ < MaxHops) {
        hops_[static_cast<std::size_t>(hopCount_)] = Amplitudes(bank);
        hopLabelled_[static_cast<std::size_t>(hopCount_)] = labelled;
        ++hopCount_;
    } else {
        ++overflow_;
    }
}

bool DtmfSegmenter::Close(const ToneFilterBank& bank, DetectedKey& key) {
    const std::int32_t low = run_ / 4;
    const std::int32_t high = 4 + run_ % 4;
    key.key = run_;
    key.lowHz = MeasuredHz(bank.Frequency(low), lowAdvance_);
    key.highHz = MeasuredHz(bank.Frequency(high), highAdvance_);
    key.power = power_;
    key.end = lastHopEnd_ - Hop / 2;
    // Each tone's full-hop amplitude: the median over the labelled hops.
    std::array<double, MaxHops> lows{};
    std::array<double, MaxHops> highs{};
    std::size_t n = 0;
    for (std::int32_t h = 0; h < hopCount_; ++h) {
        if (!hopLabelled_[static_cast<std::size_t>(h)]) continue;
        lows[n] = hops_[static_cast<std::size_t>(h)][static_cast<std::size_t>(low)];
        highs[n] = hops_[static_cast<std::size_t>(h)][static_cast<std::size_t>(high)];
        ++n;
    }
    double sounded = static_cast<double>(overflow_);
    if (n > 0) {
        const double lowRef = Median(lows, n);
        const double highRef = Median(highs, n);
        const double lowHz = FilterHz[static_cast<std::size_t>(low)];
        const double highHz = FilterHz[static_cast<std::size_t>(high)];
        // A hop the tones fill part of holds that part of the full amplitude,
        // once the noise's share (the median of the non-key filters away from
        // the pair: power adds) is taken out.
        for (std::int32_t h = 0; h < hopCount_; ++h) {
            const HopAmplitudes& a = hops_[static_cast<std::size_t>(h)];
            std::array<double, FilterCount> others{};
            std::size_t m = 0;
            for (std::size_t j = KeyFilters; j < FilterHz.size(); ++j)
                if (std::fabs(FilterHz[j] - lowHz) >= BesidePairHz && std::fabs(FilterHz[j] - highHz) >= BesidePairHz)
                    others[m++] = a[j];
            const double noise = m > 0 ? Median(others, m) : 0.0;
            const auto share = [noise](double amplitude, double ref) {
                if (!(ref > 0.0)) return 0.0;
                return std::sqrt(std::max(0.0, amplitude * amplitude - noise * noise)) / ref;
            };
            const double f = share(a[static_cast<std::size_t>(low)], lowRef) + share(a[static_cast<std::size_t>(high)], highRef);
            sounded += std::clamp(f / 2.0, 0.0, 1.0);
        }
    }
    key.samples = sounded * Hop;
    const bool found = labelled_ >= 2;
    run_ = -1;
    drops_ = 0;
    pending_ = -1;
    pendingCount_ = 0;
    hopCount_ = 0;
    overflow_ = 0;
    return found;
}

bool DtmfSegmenter::Step(const ToneFilterBank& bank, std::int32_t label, DetectedKey& key) {
    bool ended = false;
    if (run_ < 0) {
        if (label >= 0) {
            Begin(label);
            Add(bank, true);
        }
    } else if (label == run_) {
        Add(bank, true);
        drops_ = 0;
        pending_ = -1;
        pendingCount_ = 0;
    } else {
        Add(bank, false);
        if (label >= 0) {
            pendingCount_ = label == pending_ ? pendingCount_ + 1 : 1;
            pending_ = label;
        } else {
            pending_ = -1;
            pendingCount_ = 0;
        }
        if (pendingCount_ >= TakeOverHops) {
            // Another pair held: the run ends and that pair's begins here.
            const std::int32_t next = pending_;
            ended = Close(bank, key);
            before_.fill({});
            Begin(next);
            Add(bank, true);
        } else if (++drops_ > MaxDropHops) {
            ended = Close(bank, key);
        }
    }
    before_[static_cast<std::size_t>(beforeNext_)] = Amplitudes(bank);
    beforeNext_ = (beforeNext_ + 1) % PreHops;
    return ended;
}

bool DtmfSegmenter::Flush(const ToneFilterBank& bank, DetectedKey& key) {
    if (run_ < 0) return false;
    return Close(bank, key);
}

}  // namespace dtmf

// ----- decoder -----

DtmfDecoder::DtmfDecoder(SharedContext& ctx) : ctx_(ctx) { bank_.Configure(dtmf::FilterHz); }

bool DtmfDecoder::Accept(const dtmf::DetectedKey& key, double sampleRate) {
    if (key.key < 0 || key.key >= 16) return false;
    if (key.samples < MinKeySeconds * sampleRate) return false;
    const auto row = static_cast<std::size_t>(key.key / 4);
    const auto column = static_cast<std::size_t>(key.key % 4);
    const double lowNominal = dtmf::LowHz[row];
    const double highNominal = dtmf::HighHz[column];
    if (!(std::fabs(key.lowHz / lowNominal - 1.0) <= MaxOffset)) return false;
    if (!(std::fabs(key.highHz / highNominal - 1.0) <= MaxOffset)) return false;
    const double low = key.power[row];
    const double high = key.power[4 + column];
    const double twist = std::pow(10.0, MaxTwistDb / 10.0);
    if (!(low > 0.0 && high > 0.0) || low > twist * high || high > twist * low) return false;
    for (std::size_t j = 0; j < 4; ++j) {
        if (j != row && GroupRatio * key.power[j] > low) return false;
        if (j != column && GroupRatio * key.power[4 + j] > high) return false;
    }
    const double weaker = std::min(low, high);
    for (std::size_t j = dtmf::KeyFilters; j < dtmf::FilterHz.size(); ++j) {
        const double f = dtmf::FilterHz[j];
        if (std::fabs(f - lowNominal) < dtmf::BesidePairHz || std::fabs(f - highNominal) < dtmf::BesidePairHz) continue;
        if (BandRatio * key.power[j] > weaker) return false;
    }
    return true;
}

void DtmfDecoder::OnKey(const dtmf::DetectedKey& key) {
    if (std::getenv("DTMF_DEBUG")) {
        std::fprintf(stderr, "key %c len %.1f ms lo %.1f hi %.1f end %lld acc %d |", dtmf::Keys[key.key], key.samples / 11.025, key.lowHz, key.highHz, (long long)key.end, Accept(key, ctx_.SampleRate));
        const double ref = std::min(key.power[key.key / 4], key.power[4 + key.key % 4]);
        for (double p : key.power) std::fprintf(stderr, " %.2f", p / ref);
        std::fprintf(stderr, "\n");
    }
    if (!Accept(key, ctx_.SampleRate)) return;
    if (count_ == MaxKeys) Emit();
    keys_[static_cast<std::size_t>(count_)] = dtmf::Keys[static_cast<std::size_t>(key.key)];
    ++count_;
    lastKeyEnd_ = key.end;
}

void DtmfDecoder::Emit() {
    if (count_ == 0) return;
    DtmfSequence sequence;
    sequence.at = ctx_.Origin(hopInBlock_);
    sequence.keys.assign(keys_.data(), static_cast<std::size_t>(count_));
    count_ = 0;
    ctx_.events.OnEvent(sequence);
}

void DtmfDecoder::ProcessBlock() {
    const auto sequenceEnd = static_cast<std::int64_t>(SequenceEndSeconds * ctx_.SampleRate);
    bank_.Feed(ctx_.SampleBlock, [this, sequenceEnd](std::int32_t inBlock) {
        hopInBlock_ = std::min(inBlock, FramesPerBlock - 1);
        const std::int32_t label = dtmf::DtmfHopClassifier::Classify(bank_);
        dtmf::DetectedKey key;
        if (segmenter_.Step(bank_, label, key)) OnKey(key);
        // A key held now that began within the second keeps the sequence open.
        if (count_ > 0 && bank_.End() - lastKeyEnd_ >= sequenceEnd &&
            (!segmenter_.Active() || segmenter_.RunStart() - lastKeyEnd_ >= sequenceEnd))
            Emit();
    });
}

void DtmfDecoder::FinishInput() {
    dtmf::DetectedKey key;
    if (segmenter_.Flush(bank_, key)) OnKey(key);
    Emit();
    segmenter_.Reset();
}

}  // namespace quorvel
