// The processing spine: the state every decoder shares, the text hand-off from the
// capture thread to the window, the two status lines, the input conditioning with
// its level statistics, and the per-block loop that runs the decoders.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "common.h"
#include "events.h"

namespace quorvel {

constexpr std::int32_t FramesPerBlock = 1024;
using SampleArray = std::array<double, FramesPerBlock>;

// A status text of at most 64 characters, written by the capture thread and read
// by the window's status timer. A small lock makes every read see a whole text.
class StatusLine {
public:
    static constexpr std::size_t Capacity = 64;
    void Set(std::string_view text);
    std::string Get() const;

private:
    mutable std::mutex lock_;
    std::array<char, Capacity> text_{};
    std::size_t length_ = 0;
};

// Running statistics of the input, written by the capture thread and read whole
// by meters and scope (relaxed order suffices).
struct LevelStatistics {
    std::atomic<double> DcOffset{0.0};
    std::atomic<double> AcLevel{0.0};
    std::atomic<double> DcMagnitude{0.0};
    std::atomic<double> ClipHold{0.0};
};

// Switches and settings written by the window (or the command line) and read by
// the decoders block by block.
struct DecoderSettings {
    std::atomic<bool> PocsagEnabled{false};
    std::atomic<bool> FmsEnabled{false};
    std::atomic<bool> ZveiEnabled{false};
    std::atomic<bool> DtmfEnabled{false};
    std::atomic<bool> FlexEnabled{false};
    std::atomic<std::int32_t> PocsagCharacteristic{0};  // 0 discriminator, 1 line output
    std::atomic<std::int32_t> ZveiTableIndex{0};
    std::atomic<std::int32_t> ToneMinRun{4};
    std::atomic<std::int32_t> ToneMaxRun{10};
    // Runs the sensitive form of every kind that has one instead of the specified.
    std::atomic<bool> Sensitive{false};

    // What choosing a tone table does: the index, and the run limits of CCIR
    // (index 3) or of the ZVEI tables.
    void SelectToneTable(std::int32_t index);
};

// Everything the decoders share. One instance per engine; tests make their own.
struct SharedContext {
    explicit SharedContext(const Clock& clock) : clock(clock) {}
    SharedContext(const SharedContext&) = delete;
    SharedContext& operator=(const SharedContext&) = delete;

    const Clock& clock;
    const std::int32_t SampleRate = DefaultSampleRate;

    // The current block: the second channel as unscaled 16-bit sample values.
    // Filled under SampleBlockLock; the scope reads it under the same lock.
    SampleArray SampleBlock{};
    mutable std::mutex SampleBlockLock;

    RandomGenerator random;
    double NextRandom() { return random.NextRandom(); }

    // Where the current block starts in the input: the index of its first sample
    // (11025 Hz), counted from the start of the input or of live capture.
    std::int64_t BlockStart = 0;
    // What the decoders find goes here; renderers subscribe.
    EventBus events;
    // Where and when something is found: sample `inBlock` of the current block, now.
    EventOrigin Origin(std::int32_t inBlock = 0) const {
        return {BlockStart + inBlock > 0 ? BlockStart + inBlock : 0, clock.LocalNow()};
    }

    // Decoded text (Windows-1252), written by the text renderer. Only the capture
    // thread touches MessageText.
    std::string MessageText;

    StatusLine PocsagStatusLine;
    StatusLine ActivityLine;
    LevelStatistics stats;
    DecoderSettings settings;

    // Publish step (capture thread, end of every block): if the window has taken
    // the last text, hand it the new one.
    void PublishText();
    // Take step (window side): if a text is waiting, move it into `out` and
    // return true; otherwise leave `out` empty and return false.
    bool TakeText(std::string& out);

private:
    std::string DisplayText;
    std::atomic<bool> TextTaken{false};
};

// Keeps the level statistics of the input up to date, once per block, before any
// decoder runs. Never changes SampleBlock.
class InputConditioner {
public:
    void ConditionBlock(SharedContext& ctx);
    double AcEnvelope() const { return AcEnvelope_; }

private:
    SampleArray DitherBlock{};
    double DcOffset_ = 0.0;
    double AcEnvelope_ = 0.0;
    double ClipHold_ = 0.0;
};

// Meter arithmetic for the window's 100 ms status step.
namespace meter {
constexpr std::int32_t BarMinimum = -29;
constexpr std::int32_t BarMaximum = 0;
// round(10 * log10(v / 32768)) with v raised to 1.0 first: 0 is full scale.
std::int32_t Position(double value);
// The value a bar with the range -29..0 is set to: a position below -29 shows
// an empty bar.
std::int32_t BarValue(std::int32_t position);
// The clip label turns red while ClipHold is above 1.0.
constexpr bool ClipIndicatorRed(double clipHold) { return clipHold > 1.0; }
}  // namespace meter

// Where blocks come from: the capture ring, a file, or a test.
class BlockSource {
public:
    virtual ~BlockSource() = default;
    // Captured blocks not yet processed.
    virtual std::int32_t PendingBlocks() const = 0;
    // Fill `block` from the oldest pending block and lower PendingBlocks by one.
    virtual void ExtractBlock(SampleArray& block) = 0;
};

}  // namespace quorvel
