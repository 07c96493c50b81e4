// A block source over samples held in memory: the command-line decoder feeds it
// from a file or a pipe, the tests from a generated signal.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "processing.h"

namespace quorvel {

class SampleQueue final : public BlockSource {
public:
    // Append mono samples (16-bit values). Whole blocks become pending.
    void Append(std::span<const std::int16_t> samples);
    void Append(std::span<const double> samples);
    // Pad what is left with zeros to one last whole block (nothing if empty).
    void PadLastBlock();

    std::int32_t PendingBlocks() const override;
    void ExtractBlock(SampleArray& block) override;
    std::size_t HeldSamples() const { return samples_.size() - read_; }

private:
    void Compact();
    std::vector<double> samples_;
    std::size_t read_ = 0;
};

// Lets the processing loop take one block of a queue per run, so that the
// caller can perform a take step after every block, as a window that keeps up.
class OneBlockOf final : public BlockSource {
public:
    explicit OneBlockOf(SampleQueue& queue) : queue_(queue) {}
    std::int32_t PendingBlocks() const override { return done_ ? 0 : std::min(queue_.PendingBlocks(), 1); }
    void ExtractBlock(SampleArray& block) override {
        queue_.ExtractBlock(block);
        done_ = true;
    }

private:
    SampleQueue& queue_;
    bool done_ = false;
};

}  // namespace quorvel
