// Times one decoder's ProcessBlock, one block of `samples` after another (the
// copy into the block untimed), cycling through them.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "core/processing.h"

namespace quorvel::bench {

template <class Decoder>
void TimeDecoderBlocks(benchmark::State& state, const std::vector<double>& samples) {
    FixedClock clock;
    auto ctx = std::make_unique<SharedContext>(clock);
    Decoder decoder(*ctx);
    const std::size_t blocks = samples.size() / FramesPerBlock;
    std::size_t b = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(b * FramesPerBlock), FramesPerBlock,
                    ctx->SampleBlock.begin());
        b = (b + 1) % blocks;
        state.ResumeTiming();
        decoder.ProcessBlock();
        benchmark::ClobberMemory();
    }
}

}  // namespace quorvel::bench
