// The scope trace: a small oscilloscope of the input for the window's 150 x 70
// paint box. Each trace is 151 consecutive samples of SampleBlock around the DC
// offset line, scaled by an envelope of their own (30 pixels either side of the
// centre line y = 35). A trace starts at a rising crossing of the DC offset line
// and, when the input is weak (AcLevel below 10), runs free from sample 0.
//
// Stage: user-interface side, called every 100 ms by the status timer. In: the
// current SampleBlock (read under SampleBlockLock, which the processing loop holds
// while it fills the block), DcOffset and AcLevel from the statistics. Out: the
// 151 points of ScopeTrace in pixels of the paint box; the window paints them as
// a green polyline on black.
#pragma once

#include <array>
#include <cstdint>

#include "processing.h"

namespace quorvel {

struct ScopePoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend bool operator==(const ScopePoint&, const ScopePoint&) = default;
};

class Scope {
public:
    static constexpr std::int32_t TracePoints = 151;
    static constexpr std::int32_t Width = 150;
    static constexpr std::int32_t Height = 70;
    using Trace = std::array<ScopePoint, TracePoints>;

    explicit Scope(const SharedContext& ctx) : ctx_(ctx) {}

    // Trigger search, free run and the next piece of the trace. Touches no
    // memory outside this object and allocates nothing.
    void DrawScope();

    const Trace& ScopeTrace() const { return ScopeTrace_; }
    bool TraceActive() const { return TraceActive_; }
    std::int32_t TraceCount() const { return TraceCount_; }
    std::int32_t TracePosition() const { return TracePosition_; }
    double ScopeEnvelope() const { return ScopeEnvelope_; }

private:
    const SharedContext& ctx_;
    Trace ScopeTrace_{};
    bool TraceActive_ = false;
    std::int32_t TraceCount_ = 0;
    std::int32_t TracePosition_ = 0;
    double ScopeEnvelope_ = 0.0;
};

}  // namespace quorvel
