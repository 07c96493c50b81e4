// The DTMF decoder: telephone keys sent as two tones at once.
//
// The signal: each key is the sum of one tone of the low group (697, 770, 852,
// 941 Hz: the keypad's rows) and one of the high group (1209, 1336, 1477,
// 1633 Hz: its columns), held while the key is down, typically 50-100 ms with
// pauses of the same order between keys. The two tones may differ in level
// ("twist") by several dB either way and be off their nominal frequencies by a
// percent or so. The keys, row by row: 1 2 3 A / 4 5 6 B / 7 8 9 C / * 0 # D.
//
// Stages:
//   ToneFilterBank (shared with the five-tone decoder) with 24 filters: the
//                  eight key tones, their second harmonics, and guards below,
//                  between and above the groups (330 and 450 Hz, 2.5-3.1 kHz:
//                  where voices have their low harmonics and third formant).
//                  Per hop of 64 samples every filter's power over the last
//                  two hops (11.6 ms) and the hop's own complex value.
//   DtmfHopClassifier  in: one hop's window powers. A hop holds a pair when the
//                  strongest filter of each group stands four times above the
//                  median of the non-key filters, twice above the others of
//                  its group, and the two are within 14 dB of each other.
//                  Loose on purpose: the key is judged over its whole length.
//                  Out: the key (0..15) or none.
//   DtmfSegmenter  in: the classified hops. A key is a run of hops of one pair,
//                  bridging up to three hops without it (a dropout of about
//                  15 ms; a pause of 40 ms leaves five); another pair takes
//                  over after two hops. Over the run it sums every filter's
//                  window power and keeps, per hop (with the three before the
//                  run), every filter's amplitude and the pair's phase advance
//                  from window to window. At the end: how long both tones
//                  sounded, to a few samples (each hop holds its share of the
//                  full amplitude); the frequencies from the advances between
//                  hops both tones fill; the same for each half of the run.
//   DtmfDecoder    accepts a run as a key when it lasted at least 37.5 ms
//                  (keys of 40 ms pass, 35 ms do not) and, against a noise
//                  floor (the lower quartile of the non-key filters the pair
//                  does not reach: interference only ever adds to some):
//                  both tones stand above the floor, within 9 dB of each
//                  other (8 dB passes); both frequencies lie within 1.6 % of
//                  nominal plus what the noise explains, never beyond 2 %
//                  (1.5 % passes, 3.5 % does not); the halves keep frequency
//                  and level; the other tones of each group and every other
//                  filter hold little beyond the floor, the pair's leakage and
//                  the floor's own spread. Speech and music put power into
//                  harmonics, guards or neighbours, or glide and swell.
//                  Keys collect into a sequence that ends 1 s after the last
//                  key: one DtmfSequence event. The limits that depend on the
//                  noise shrink as the pair stands higher above the floor, so
//                  a clear interferer is judged strictly and a key in noise
//                  leniently.
//
// No allocation after construction; no draws from NextRandom.
#pragma once

#include <array>
#include <cstdint>

#include "core/processing.h"
#include "core/registry.h"
#include "tone_sensitive.h"

namespace quorvel {

struct KindDescription;
// DTMF calls as the rest of the program sees them (dtmf_kind.cpp).
extern const KindDescription DtmfKind;
namespace dtmf {

constexpr std::array<double, 4> LowHz = {697.0, 770.0, 852.0, 941.0};
constexpr std::array<double, 4> HighHz = {1209.0, 1336.0, 1477.0, 1633.0};
// Row by row (low tone), column by column (high tone).
constexpr std::array<char, 16> Keys = {'1', '2', '3', 'A', '4', '5', '6', 'B', '7', '8', '9', 'C', '*', '0', '#', 'D'};

// Filters 0..3 the low group, 4..7 the high group, then the non-key filters.
constexpr std::int32_t KeyFilters = 8;
constexpr std::array<double, 24> FilterHz = {
    697.0,  770.0,  852.0,  941.0,  1209.0, 1336.0, 1477.0, 1633.0,  // the keys
    1394.0, 1540.0, 1704.0, 1882.0, 2418.0, 2672.0, 2954.0, 3266.0,  // their second harmonics
    330.0,  450.0,  600.0,  1075.0, 2150.0, 2545.0, 2810.0, 3110.0,  // guards
};
constexpr std::int32_t FilterCount = static_cast<std::int32_t>(FilterHz.size());
// Non-key filters this close to a tone of the pair hold its leakage, not
// evidence against the pair.
constexpr double BesidePairHz = 140.0;

class DtmfHopClassifier {
public:
    static constexpr double FloorRatio = 4.0;
    static constexpr double GroupRatio = 2.0;
    static constexpr double MaxTwist = 25.0;  // 14 dB
    // The key (low row x 4 + high column) the last window holds, or -1.
    static std::int32_t Classify(const tone_sensitive::ToneFilterBank& bank);
};

// A pair of tones that held, measured over the run.
struct DetectedKey {
    std::int32_t key = -1;
    double lowHz = 0.0;   // measured
    double highHz = 0.0;
    double samples = 0.0;  // how long both tones sounded
    std::array<double, FilterCount> power{};  // each filter's window power summed over the run
    double energy = 0.0;  // the windows' energy summed over the run
    std::int32_t labelled = 0;  // hops (windows) in those sums
    std::int32_t advances = 0;  // phase advances behind the measured frequencies
    // The second half of the run against the first: frequencies (Hz) and the
    // level of the two tones together (dB), over halfSteps advances each.
    std::int32_t halfSteps = 0;
    double lowDrift = 0.0;
    double highDrift = 0.0;
    double levelStepDb = 0.0;
    std::int64_t end = 0;  // sample (as the bank counts) near which it ended
};

class DtmfSegmenter {
public:
    static constexpr std::int32_t MaxDropHops = 3;
    static constexpr std::int32_t TakeOverHops = 2;
    static constexpr std::int32_t PreHops = 3;  // hops before a run kept for its start
    static constexpr std::int32_t MaxHops = 48;  // amplitudes kept per run (a longer key is long anyway)
    static constexpr double FullHop = 0.5;  // share of the full amplitude that makes a hop full

    // One classified hop. True when a key's run ended with it, given in `key`.
    bool Step(const tone_sensitive::ToneFilterBank& bank, std::int32_t label, DetectedKey& key);
    // Ends the run under way, if any.
    bool Flush(DetectedKey& key);
    bool Active() const { return run_ >= 0; }
    // Where the run under way began (its first labelled hop's end).
    std::int64_t RunStart() const { return runStart_; }
    void Reset();

private:
    // Every filter's amplitude over one hop.
    using HopAmplitudes = std::array<double, FilterCount>;
    void Begin(std::int32_t label);
    void Add(const tone_sensitive::ToneFilterBank& bank, bool labelled);
    bool Close(DetectedKey& key);
    void References(double& lowRef, double& highRef) const;
    static HopAmplitudes Amplitudes(const tone_sensitive::ToneFilterBank& bank);

    std::int32_t run_ = -1;
    std::int32_t drops_ = 0;
    std::int32_t pending_ = -1;
    std::int32_t pendingCount_ = 0;
    std::int32_t labelled_ = 0;
    std::int64_t runStart_ = 0;
    std::int64_t lastHopEnd_ = 0;
    std::array<double, FilterCount> power_{};
    double energy_ = 0.0;
    // The hop amplitudes before the run (a ring) and within it.
    std::array<HopAmplitudes, PreHops> before_{};
    std::int32_t beforeNext_ = 0;
    std::array<HopAmplitudes, MaxHops> hops_{};
    std::array<bool, MaxHops> hopLabelled_{};
    std::array<bool, MaxHops> hasStep_{};  // a phase advance from the hop before
    tone_sensitive::Cx lowWindow_{};  // the last hop's window values of the pair
    tone_sensitive::Cx highWindow_{};
    std::array<tone_sensitive::Cx, MaxHops> lowStep_{};
    std::array<tone_sensitive::Cx, MaxHops> highStep_{};
    std::int32_t hopCount_ = 0;
    double overflowFilled_ = 0.0;  // how much of the hops past MaxHops the tones filled
    double lowRef_ = 0.0;  // the tones' full-hop amplitudes (once known)
    double highRef_ = 0.0;
};

}  // namespace dtmf

class DtmfDecoder final : public BlockDecoder {
public:
    static constexpr std::int32_t MaxKeys = 64;  // a longer sequence comes out in parts
    static constexpr double MinKeySeconds = 0.0375;
    static constexpr std::int32_t MinSteps = 2;  // phase advances between full hops
    // Both tones stand this far above the floor (their powers less the floor).
    static constexpr double FloorRatio = 3.0;
    static constexpr double MaxTwistDb = 9.0;
    // Frequencies: within BaseOffset plus three times what the noise explains
    // (PhaseNoiseHz over the root of the tones' SNR times the advances), never
    // beyond MaxOffset.
    static constexpr double BaseOffset = 0.016;
    static constexpr double MaxOffset = 0.02;
    static constexpr double PhaseNoiseHz = 35.0;
    // Halves: frequencies within MaxDriftHz plus 3.2 such spreads, level
    // within MaxLevelStepDb plus LevelNoiseDb over the same root.
    static constexpr double MaxDriftHz = 3.0;
    static constexpr double MaxLevelStepDb = 4.5;
    static constexpr double LevelNoiseDb = 20.0;
    // Other filters: above the floor by at most 1/GroupRatio of their group's
    // tone (1/BandRatio of the weaker tone elsewhere), plus what the pair leaks
    // into them, plus Wander times the floor's own spread.
    static constexpr double GroupRatio = 8.0;
    static constexpr double BandRatio = 8.0;
    static constexpr double Wander = 4.0;
    static constexpr double SequenceEndSeconds = 1.0;

    explicit DtmfDecoder(SharedContext& ctx);
    void ProcessBlock() override;
    bool Busy() const override { return count_ > 0 || segmenter_.Active(); }
    // Emits the sequence under way.
    void FinishInput() override;

    // Whether a measured run is a key (the checks above).
    static bool Accept(const dtmf::DetectedKey& key, double sampleRate);

private:
    void OnKey(const dtmf::DetectedKey& key);
    void Emit();

    SharedContext& ctx_;
    tone_sensitive::ToneFilterBank bank_;
    dtmf::DtmfSegmenter segmenter_;
    std::array<char, MaxKeys> keys_{};
    std::int32_t count_ = 0;
    std::int64_t lastKeyEnd_ = 0;
    std::int32_t hopInBlock_ = 0;
};

}  // namespace quorvel
