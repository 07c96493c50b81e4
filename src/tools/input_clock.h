// Time stamps from the position in the input (--clock input): the time given as
// the input's start plus the start of the block being decoded. Runs on files
// give the same stamps every time, whatever the wall clock says.
#pragma once

#include <cstdint>

#include "core/common.h"
#include "core/processing.h"

namespace quorvel::tools {

class InputClock final : public Clock {
public:
    InputClock(DateTime start, std::int64_t utcOffsetMinutes)
        : startMs_(CivilMilliseconds(start)), offsetMs_(utcOffsetMinutes * 60000) {}
    // The engine whose position is the time; each input has one of its own.
    void Follow(const SharedContext& ctx) { ctx_ = &ctx; }
    DateTime LocalNow() const override { return CivilFromMilliseconds(startMs_ + Elapsed()); }
    DateTime UtcNow() const override { return CivilFromMilliseconds(startMs_ + Elapsed() - offsetMs_); }

private:
    std::int64_t Elapsed() const { return ctx_ == nullptr ? 0 : ctx_->BlockStart * 1000 / ctx_->SampleRate; }
    std::int64_t startMs_;
    std::int64_t offsetMs_;
    const SharedContext* ctx_ = nullptr;
};

}  // namespace quorvel::tools
