#include "sample_source.h"

#include <algorithm>

namespace quorvel {

void SampleQueue::Compact() {
    // Drop consumed samples now and then, so a long stream does not grow memory.
    if (read_ > 0 && read_ >= samples_.size() / 2) {
        samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
}

void SampleQueue::Append(std::span<const std::int16_t> samples) {
    Compact();
    samples_.insert(samples_.end(), samples.begin(), samples.end());
}

void SampleQueue::Append(std::span<const double> samples) {
    Compact();
    samples_.insert(samples_.end(), samples.begin(), samples.end());
}

void SampleQueue::PadLastBlock() {
    const std::size_t rest = HeldSamples() % FramesPerBlock;
    if (rest != 0) samples_.resize(samples_.size() + (FramesPerBlock - rest), 0.0);
}

std::int32_t SampleQueue::PendingBlocks() const {
    return static_cast<std::int32_t>(HeldSamples() / FramesPerBlock);
}

void SampleQueue::ExtractBlock(SampleArray& block) {
    std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(read_), FramesPerBlock, block.begin());
    read_ += FramesPerBlock;
}

}  // namespace quorvel
