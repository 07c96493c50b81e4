// The DTMF decoder's stages and sequence assembly. See dtmf.h for the signal
// and what each stage takes and gives.
#include "dtmf.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quorvel {
namespace dtmf {

namespace {

using tone_sensitive::Cx;
using tone_sensitive::Hop;
using tone_sensitive::ToneFilterBank;

constexpr double Rate = DefaultSampleRate;

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

// The share of a hop that both tones fill: each tone's amplitude against its
// full-hop amplitude, once the noise's share (the median of the non-key
// filters away from the pair; powers add) is taken out.
double Filled(const std::array<double, FilterCount>& a, std::size_t low, std::size_t high, double lowRef, double highRef) {
    std::array<double, FilterCount> others{};
    std::size_t m = 0;
    for (std::size_t j = KeyFilters; j < FilterHz.size(); ++j)
        if (std::fabs(FilterHz[j] - FilterHz[low]) >= BesidePairHz && std::fabs(FilterHz[j] - FilterHz[high]) >= BesidePairHz)
            others[m++] = a[j];
    const double noise = m > 0 ? Median(others, m) : 0.0;
    const auto share = [noise](double amplitude, double ref) {
        if (!(ref > 0.0)) return 0.0;
        return std::sqrt(std::max(0.0, amplitude * amplitude - noise * noise)) / ref;
    };
    // Each share capped a little above one: the image of a real tone ripples
    // a full hop's amplitude by a few percent either way (a cap at one would
    // bias the sum low), while a weak tone's filter beside a hop the strong
    // one only partly fills picks up its splatter.
    const auto capped = [](double x) { return std::clamp(x, 0.0, 1.1); };
    return (capped(share(a[low], lowRef)) + capped(share(a[high], highRef))) / 2.0;
}

}  // namespace

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
    overflowFilled_ = 0.0;
    lowRef_ = highRef_ = 0.0;
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
    energy_ = 0.0;
    hopCount_ = 0;
    overflowFilled_ = 0.0;
    lowRef_ = highRef_ = 0.0;
    // The hops just before the first labelled one may hold the key's start.
    for (std::int32_t k = 0; k < PreHops; ++k) {
        hops_[static_cast<std::size_t>(hopCount_)] = before_[static_cast<std::size_t>((beforeNext_ + k) % PreHops)];
        hopLabelled_[static_cast<std::size_t>(hopCount_)] = false;
        hasStep_[static_cast<std::size_t>(hopCount_)] = false;
        ++hopCount_;
    }
}

void DtmfSegmenter::Add(const ToneFilterBank& bank, bool labelled) {
    if (labelled) {
        const std::int64_t hopEnd = bank.End();
        for (std::int32_t j = 0; j < FilterCount; ++j) power_[static_cast<std::size_t>(j)] += bank.Power(j);
        energy_ += bank.WindowEnergy();
        if (labelled_ == 0) runStart_ = hopEnd;
        lastHopEnd_ = hopEnd;
        ++labelled_;
    }
    if (hopCount_ >= MaxHops) {
        // A long key: its hops are no longer kept, only how much of each the
        // tones fill, against the full amplitudes of the hops that were.
        if (overflowFilled_ == 0.0 && lowRef_ == 0.0) References(lowRef_, highRef_);
        overflowFilled_ += Filled(Amplitudes(bank), static_cast<std::size_t>(run_ / 4),
                                  static_cast<std::size_t>(4 + run_ % 4), lowRef_, highRef_);
        return;
    }
    // The phase advance of each key filter from one window of two hops to the
    // next, kept for every hop of the run, labelled or not (a hop the
    // classifier missed in noise still holds the tones); Close picks the hops
    // both tones fill. Two hops, not one: over 128 samples the other tone of
    // the pair (268 Hz or more away) leaks far less into the phase.
    const auto window = [&bank](std::int32_t j) {
        const double w = 2.0 * std::numbers::pi * bank.Frequency(j) * Hop / Rate;
        const Cx v = bank.Value(j);
        const Cx p = bank.PreviousValue(j);
        const double c = std::cos(w);
        const double s = -std::sin(w);
        return Cx{p.re + v.re * c - v.im * s, p.im + v.re * s + v.im * c};
    };
    const auto advance = [](Cx now, Cx before) {
        return Cx{now.re * before.re + now.im * before.im, now.im * before.re - now.re * before.im};
    };
    const auto k = static_cast<std::size_t>(hopCount_);
    const Cx lowWindow = window(run_ / 4);
    const Cx highWindow = window(4 + run_ % 4);
    hops_[k] = Amplitudes(bank);
    hopLabelled_[k] = labelled;
    hasStep_[k] = hopCount_ > PreHops;
    lowStep_[k] = advance(lowWindow, lowWindow_);
    highStep_[k] = advance(highWindow, highWindow_);
    lowWindow_ = lowWindow;
    highWindow_ = highWindow;
    ++hopCount_;
}

void DtmfSegmenter::References(double& lowRef, double& highRef) const {
    // Each tone's full-hop amplitude: the median over the labelled hops kept.
    const auto low = static_cast<std::size_t>(run_ / 4);
    const auto high = static_cast<std::size_t>(4 + run_ % 4);
    std::array<double, MaxHops> lows{};
    std::array<double, MaxHops> highs{};
    std::size_t n = 0;
    for (std::int32_t h = 0; h < hopCount_; ++h) {
        if (!hopLabelled_[static_cast<std::size_t>(h)]) continue;
        lows[n] = hops_[static_cast<std::size_t>(h)][low];
        highs[n] = hops_[static_cast<std::size_t>(h)][high];
        ++n;
    }
    lowRef = n > 0 ? Median(lows, n) : 0.0;
    highRef = n > 0 ? Median(highs, n) : 0.0;
}

bool DtmfSegmenter::Close(DetectedKey& key) {
    const auto low = static_cast<std::size_t>(run_ / 4);
    const auto high = static_cast<std::size_t>(4 + run_ % 4);
    key.key = run_;
    key.power = power_;
    key.energy = energy_;
    key.labelled = labelled_;
    key.end = lastHopEnd_ - Hop / 2;
    References(lowRef_, highRef_);
    std::array<double, MaxHops> filled{};
    double sounded = overflowFilled_;
    for (std::int32_t h = 0; h < hopCount_; ++h) {
        filled[static_cast<std::size_t>(h)] = Filled(hops_[static_cast<std::size_t>(h)], low, high, lowRef_, highRef_);
        sounded += filled[static_cast<std::size_t>(h)];
    }
    key.samples = sounded * Hop;
    // Frequencies from the phase advances between hops both tones fill (at a
    // hop only partly filled the phase of a tone off its filter is skewed).
    std::array<bool, MaxHops> use{};
    std::int32_t steps = 0;
    for (std::int32_t h = 1; h < hopCount_; ++h) {
        const auto k = static_cast<std::size_t>(h);
        use[k] = hasStep_[k] && h >= 2 && filled[k] >= FullHop && filled[k - 1] >= FullHop && filled[k - 2] >= FullHop;
        steps += use[k] ? 1 : 0;
    }
    // Also by halves: a key keeps its frequencies and level, a voice or an
    // instrument glides and swells.
    Cx lowSum[2] = {};
    Cx highSum[2] = {};
    double level[2] = {};
    std::int32_t taken = 0;
    for (std::int32_t h = 0; h < hopCount_; ++h) {
        const auto k = static_cast<std::size_t>(h);
        if (!use[k]) continue;
        const int half = 2 * taken < steps ? 0 : 1;
        lowSum[half] = {lowSum[half].re + lowStep_[k].re, lowSum[half].im + lowStep_[k].im};
        highSum[half] = {highSum[half].re + highStep_[k].re, highSum[half].im + highStep_[k].im};
        level[half] += hops_[k][low] * hops_[k][low] + hops_[k][high] * hops_[k][high];
        ++taken;
    }
    key.advances = steps;
    key.lowHz = MeasuredHz(FilterHz[low], {lowSum[0].re + lowSum[1].re, lowSum[0].im + lowSum[1].im});
    key.highHz = MeasuredHz(FilterHz[high], {highSum[0].re + highSum[1].re, highSum[0].im + highSum[1].im});
    key.halfSteps = steps / 2;
    key.lowDrift = key.highDrift = key.levelStepDb = 0.0;
    if (key.halfSteps > 0) {
        key.lowDrift = MeasuredHz(FilterHz[low], lowSum[1]) - MeasuredHz(FilterHz[low], lowSum[0]);
        key.highDrift = MeasuredHz(FilterHz[high], highSum[1]) - MeasuredHz(FilterHz[high], highSum[0]);
        key.levelStepDb = level[0] > 0.0 && level[1] > 0.0 ? 10.0 * std::log10(level[1] / level[0]) : 99.0;
    }
    const bool found = labelled_ >= 2;
    run_ = -1;
    drops_ = 0;
    pending_ = -1;
    pendingCount_ = 0;
    hopCount_ = 0;
    overflowFilled_ = 0.0;
    lowRef_ = highRef_ = 0.0;
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
            ended = Close(key);
            before_.fill({});
            Begin(next);
            Add(bank, true);
        } else if (++drops_ > MaxDropHops) {
            ended = Close(key);
        }
    }
    before_[static_cast<std::size_t>(beforeNext_)] = Amplitudes(bank);
    beforeNext_ = (beforeNext_ + 1) % PreHops;
    return ended;
}

bool DtmfSegmenter::Flush(DetectedKey& key) {
    if (run_ < 0) return false;
    return Close(key);
}

}  // namespace dtmf

// ----- decoder -----

DtmfDecoder::DtmfDecoder(SharedContext& ctx) : ctx_(ctx) { bank_.Configure(dtmf::FilterHz); }

bool DtmfDecoder::Accept(const dtmf::DetectedKey& key, double sampleRate) {
    if (key.key < 0 || key.key >= 16 || key.advances < MinSteps) return false;
    if (key.samples < MinKeySeconds * sampleRate) return false;
    const auto row = static_cast<std::size_t>(key.key / 4);
    const auto column = static_cast<std::size_t>(key.key % 4);
    const double lowNominal = dtmf::LowHz[row];
    const double highNominal = dtmf::HighHz[column];
    // What the pair leaks into filter j over a window of two hops (rectangular:
    // sinc squared of the distance in bins), from the measured frequencies.
    const auto leak = [&key, row, column, sampleRate](std::size_t j) {
        const auto part = [j, sampleRate](double toneHz, double power) {
            const double x = std::numbers::pi * (dtmf::FilterHz[j] - toneHz) * 2.0 * tone_sensitive::Hop / sampleRate;
            const double sinc = std::fabs(x) < 1e-9 ? 1.0 : std::sin(x) / x;
            return power * sinc * sinc;
        };
        return part(key.lowHz, key.power[row]) + part(key.highHz, key.power[4 + column]);
    };
    // The noise floor: the lower quartile of the non-key filters the pair does
    // not reach (interference only ever adds to some of them).
    const double weakerRaw = std::min(key.power[row], key.power[4 + column]);
    std::array<double, dtmf::FilterCount> others{};
    std::size_t m = 0;
    for (std::size_t j = dtmf::KeyFilters; j < dtmf::FilterHz.size(); ++j)
        if (leak(j) < 0.02 * weakerRaw) others[m++] = key.power[j];
    if (m < 4) return false;
    const std::size_t q = m / 4;
    std::nth_element(others.begin(), others.begin() + static_cast<std::ptrdiff_t>(q), others.begin() + static_cast<std::ptrdiff_t>(m));
    const double floor = others[q];
    // What each filter holds above the floor.
    const auto excess = [&key, floor](std::size_t j) { return key.power[j] - floor; };
    const double low = excess(row);
    const double high = excess(4 + column);
    const double weaker = std::min(low, high);
    if (!(weaker > 0.0) || !(weaker >= FloorRatio * floor)) return false;
    const double twist = std::pow(10.0, MaxTwistDb / 10.0);
    if (low > twist * high || high > twist * low) return false;
    const double snr = floor > 0.0 ? weaker / floor : 1e12;
    if (key.halfSteps > 0) {
        const double halfSpread = PhaseNoiseHz / std::sqrt(snr * key.halfSteps);
        if (std::fabs(key.lowDrift) > MaxDriftHz + 3.2 * halfSpread) return false;
        if (std::fabs(key.highDrift) > MaxDriftHz + 3.2 * halfSpread) return false;
        if (std::fabs(key.levelStepDb) > MaxLevelStepDb + LevelNoiseDb / std::sqrt(snr * key.halfSteps)) return false;
    }
    // Frequencies: within 1.6 % and what the noise explains, never beyond 2 %.
    const double spread = PhaseNoiseHz / std::sqrt(snr * key.advances);
    const auto near = [spread](double measured, double nominal) {
        const double tolerance = std::min(MaxOffset, BaseOffset + 3.0 * spread / nominal);
        return std::fabs(measured / nominal - 1.0) <= tolerance;
    };
    if (!near(key.lowHz, lowNominal) || !near(key.highHz, highNominal)) return false;
    // What noise alone lifts a filter above the floor, summed over this many
    // windows (they overlap by half).
    const double wander = Wander * floor * std::sqrt(2.0 / std::max(1, key.labelled));
    for (std::size_t j = 0; j < 4; ++j) {
        if (j != row && excess(j) > low / GroupRatio + wander + 1.5 * leak(j)) return false;
        if (j != column && excess(4 + j) > high / GroupRatio + wander + 1.5 * leak(4 + j)) return false;
    }
    for (std::size_t j = dtmf::KeyFilters; j < dtmf::FilterHz.size(); ++j)
        if (excess(j) > weaker / BandRatio + wander + 1.5 * leak(j)) return false;
    return true;
}

void DtmfDecoder::OnKey(const dtmf::DetectedKey& key) {
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
    if (segmenter_.Flush(key)) OnKey(key);
    Emit();
    segmenter_.Reset();
}

}  // namespace quorvel
