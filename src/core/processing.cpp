#include "processing.h"

#include <algorithm>
#include <cmath>

namespace quorvel {

void StatusLine::Set(std::string_view text) {
    const std::size_t n = std::min(text.size(), Capacity);
    std::lock_guard<std::mutex> guard(lock_);
    std::copy_n(text.data(), n, text_.data());
    length_ = n;
}

std::string StatusLine::Get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::string(text_.data(), length_);
}

void DecoderSettings::SelectToneTable(std::int32_t index) {
    ZveiTableIndex.store(index);
    if (index == 3) {
        ToneMinRun.store(7);
        ToneMaxRun.store(15);
    } else {
        ToneMinRun.store(4);
        ToneMaxRun.store(10);
    }
}

void SharedContext::PublishText() {
    if (TextTaken.load(std::memory_order_acquire)) {
        // Swapping keeps both buffers' capacity, so a steady flow of text
        // allocates nothing per block.
        DisplayText.swap(MessageText);
        MessageText.clear();
        TextTaken.store(false, std::memory_order_release);
    }
}

bool SharedContext::TakeText(std::string& out) {
    out.clear();
    if (TextTaken.load(std::memory_order_acquire)) return false;
    out.swap(DisplayText);
    TextTaken.store(true, std::memory_order_release);
    return true;
}

void InputConditioner::ConditionBlock(SharedContext& ctx) {
    const SampleArray& x = ctx.SampleBlock;
    for (std::int32_t i = 0; i < FramesPerBlock; ++i) {
        const double r = ctx.NextRandom();
        DitherBlock[i] = (r + x[i]) - 0.5;
    }
    for (std::int32_t i = 0; i < FramesPerBlock; ++i) {
        const double d = DitherBlock[i];
        DcOffset_ = 0.0001 * x[i] + 0.9999 * DcOffset_;
        const double a = std::fabs(d - DcOffset_);
        if (a > AcEnvelope_) {
            AcEnvelope_ = a;
        } else {
            AcEnvelope_ = 0.9999 * AcEnvelope_;
        }
        if (std::fabs(d) > 30000.0) {
            ClipHold_ = 2.0;
        } else {
            ClipHold_ = 0.99999 * ClipHold_;
        }
        if (AcEnvelope_ < 1.0) AcEnvelope_ = 1.0;
        // Readers may see a value from the middle of a block; only whole values.
        ctx.stats.DcOffset.store(DcOffset_, std::memory_order_relaxed);
    }
    ctx.stats.ClipHold.store(ClipHold_, std::memory_order_relaxed);
    ctx.stats.DcMagnitude.store(std::fabs(DcOffset_), std::memory_order_relaxed);
    ctx.stats.AcLevel.store(AcEnvelope_, std::memory_order_relaxed);
}

namespace meter {

std::int32_t Position(double value) {
    const double v = value < 1.0 ? 1.0 : value;
    return RoundHalfEven(10.0 * std::log10(v / 32768.0));
}

std::int32_t BarValue(std::int32_t position) { return std::clamp(position, BarMinimum, BarMaximum); }

}  // namespace meter

}  // namespace quorvel
