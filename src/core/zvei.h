// The five-tone selective-call decoder (ZVEI normal, ZVEI wide, ZVEI narrow, CCIR).
//
// The signal: five audio tones sent back to back, each about 70 ms long in the
// ZVEI tables and 100 ms in CCIR, each tone standing for one character of the
// selected table. A digit that repeats the one before it is sent as the table's
// repeat tone "R", so that the receiver sees a change of frequency between tones.
//
// Two stages, both run once per block of 1024 samples by ZveiProcessBlock:
//
//  1. Tone detection (front end). In: SampleBlock, the raw 16-bit sample values.
//     The DC is removed, the samples are dithered and every zero crossing (rising
//     and falling) gives the frequency of one full period, measured back to the
//     previous crossing of the same direction. Running means over the last 100
//     samples of that track and of its sample-to-sample change are condensed,
//     every 100 samples on one continuous grid, into an analysis step: the mean
//     frequency when the track was steady within 5 %, else the no-tone mark 1.0.
//     Out: steps in the 256-entry StepRing.
//
//  2. Sequence assembly (back end). In: the unread steps. Consecutive steps that
//     differ by less than 1 % of their sum form a steady run; a run whose length
//     lies within the table's limits is one tone. Five tones make a sequence,
//     named entry by entry from the selected table within 2.5 %. Out: a
//     ToneSequence event, and "ZVEI " in the ActivityLine while tones are being
//     collected.
//
// All state is zero at start, fixed in size and never reset while running.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "processing.h"
#include "registry.h"

namespace quorvel {

struct KindDescription;
// Five-tone calls as the rest of the program sees them (tone_kind.cpp).
extern const KindDescription ToneKind;

namespace zvei {

constexpr std::int32_t StepLength = 100;  // samples per analysis step
constexpr std::int32_t StepRingSize = 256;
constexpr std::int32_t HistoryLength = 100;
constexpr std::int32_t TonesPerSequence = 5;
constexpr std::int32_t TableCount = 4;
constexpr double NoToneMark = 1.0;

// One entry of a tone table: the text it names and its nominal frequency.
struct ToneEntry {
    std::string_view text;
    double frequency;
};

// A tone table: its entries in the order they are tried, and its line prefix.
struct ToneTable {
    std::string_view name;    // as the window's table box lists it
    std::string_view prefix;  // what a decoded line starts with after the time
    const ToneEntry* entries;
    std::int32_t entryCount;
    std::string_view protocol;  // what its calls carry: "zvei" or "ccir"
    std::string_view key;       // its name on command lines: "zvei-normal"...
    double toneSeconds;         // the standard length of one tone
};

// The four tables, by index: 0 "ZVEI normal", 1 "ZVEI wide", 2 "ZVEI narrow",
// 3 "CCIR".
const ToneTable& Table(std::int32_t index);

// A table by its key, its index ("0".."3") or "zvei" (ZVEI normal), in any case,
// with blanks or '-' between words; -1 for none.
std::int32_t TableByName(std::string_view name);
// "zvei-normal, zvei-wide, zvei-narrow or ccir", for messages.
std::string TableChoices();

// True when measured lies strictly within 2.5 % of nominal.
bool ToneMatches(double nominal, double measured);

// The text of the first entry of the table that matches the (rounded) frequency
// m, or nullptr when none does.
const ToneEntry* MatchTone(const ToneTable& table, double m);

}  // namespace zvei

// The decoder's state. Public so that the stages can be examined one by one.
struct ZveiState {
    // Tone detection.
    std::array<double, FramesPerBlock> ZveiWork{};
    double ZveiDcMean = 0.0;
    double ZveiPrevSample = 0.0;
    double RiseDistance = 0.0;
    double FallDistance = 0.0;
    double ZveiFrequency = 0.0;
    std::array<double, zvei::HistoryLength> FreqHistory{};
    std::array<double, zvei::HistoryLength> ChangeHistory{};
    std::int32_t HistoryIndex = 0;
    double MeanFrequency = 0.0;
    double MeanChange = 0.0;
    double PrevTrack = 0.0;
    std::int32_t StepPhase = 0;
    std::array<double, zvei::StepRingSize> StepRing{};
    std::int32_t StepWrite = 0;
    std::int32_t StepRead = 0;

    // Sequence assembly.
    std::array<double, zvei::TonesPerSequence> ToneFreqs{};
    std::int32_t ToneCount = 0;
    std::int32_t SteadyRun = 0;
    std::int32_t UnsteadyRun = 0;
};

class ZveiDecoder final : public BlockDecoder {
public:
    explicit ZveiDecoder(SharedContext& ctx) : ctx_(ctx) {}

    // The block entry: detection, collection, activity mark, and the event of a
    // completed sequence.
    void ZveiProcessBlock();
    void ProcessBlock() override { ZveiProcessBlock(); }
    bool Busy() const override { return state.ToneCount > 0; }
    // Fewer than five tones are no call: they are dropped, as when the tones stop.
    void FinishInput() override {
        state.ToneFreqs.fill(0.0);
        state.ToneCount = 0;
    }

    // The stages, in the order the block entry runs them.
    void ZveiRemoveDc();
    void ZveiTrackFrequency();
    void ZveiMakeSteps();
    // The three stages above fused into one pass over the block (what the
    // block entry runs); same results, same order of draws.
    void ZveiFrontEndBlock();
    void ZveiCollectTones();
    // Name the five collected tones by table `table` (0..3), emit the sequence
    // and empty the collection. Any other table number emits nothing and
    // discards the tones.
    void ZveiWriteSequence(std::int32_t table);

    // Unread steps in the ring, 0..255.
    std::int32_t StepRingDistance() const;

    ZveiState state;

private:
    SharedContext& ctx_;
};

}  // namespace quorvel
