// A block source over samples held in memory: the command-line decoder feeds it
// from a file or a pipe, the tests from a generated signal.
#pragma once

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

}  // namespace quorvel
