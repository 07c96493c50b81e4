#include "scope.h"

#include <cmath>
#include <mutex>

namespace quorvel {

void Scope::DrawScope() {
    // The block may be refilled by the capture thread between two calls, never
    // while this call reads it.
    std::lock_guard<std::mutex> guard(ctx_.SampleBlockLock);
    const SampleArray& x = ctx_.SampleBlock;
    const double c = ctx_.stats.DcOffset.load(std::memory_order_relaxed);

    if (!TraceActive_) {
        // The first sample above the line that follows one below it; a rise
        // through a sample exactly on the line does not trigger.
        double prev = x[0] - c;
        for (std::int32_t i = 1; i < FramesPerBlock; ++i) {
            const double cur = x[i] - c;
            if (cur > 0.0 && prev < 0.0) {
                TraceActive_ = true;
                TraceCount_ = 0;
                TracePosition_ = i;
                break;
            }
            prev = cur;
        }
    }

    if (!TraceActive_ && ctx_.stats.AcLevel.load(std::memory_order_relaxed) < 10.0) {
        TraceActive_ = true;
        TracePosition_ = 0;
        TraceCount_ = 0;
    }

    if (!TraceActive_) return;

    while (TraceCount_ <= TracePoints - 1 && TracePosition_ <= FramesPerBlock - 1) {
        const double d = x[TracePosition_] - c;
        if (std::fabs(d) > ScopeEnvelope_) {
            ScopeEnvelope_ = std::fabs(d);
        } else {
            ScopeEnvelope_ = 0.999 * ScopeEnvelope_;
        }
        if (ScopeEnvelope_ < 40.0) ScopeEnvelope_ = 40.0;
        ScopeTrace_[TraceCount_] = ScopePoint{TraceCount_, RoundHalfEven(35.0 - d * 30.0 / ScopeEnvelope_)};
        ++TraceCount_;
        ++TracePosition_;
    }
    if (TraceCount_ > TracePoints - 1) TraceActive_ = false;
    if (TracePosition_ > FramesPerBlock - 1) TracePosition_ = 0;
}

}  // namespace quorvel
