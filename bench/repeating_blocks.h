// A block source that hands out the same samples over and over, one block per
// Release, so that a benchmark can time the processing of exactly one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/processing.h"

namespace quorvel::bench {

class RepeatingBlocks final : public BlockSource {
public:
    explicit RepeatingBlocks(std::vector<double> samples) : samples_(std::move(samples)) {}
    std::int32_t PendingBlocks() const override { return pending_; }
    void ExtractBlock(SampleArray& block) override {
        for (double& x : block) {
            x = samples_[position_];
            position_ = (position_ + 1) % samples_.size();
        }
        --pending_;
    }
    void Release(std::int32_t blocks) { pending_ = blocks; }

private:
    std::vector<double> samples_;
    std::size_t position_ = 0;
    std::int32_t pending_ = 0;
};

}  // namespace quorvel::bench
