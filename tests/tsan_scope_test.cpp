// The scope on the window's thread while the processing loop refills SampleBlock
// and the statistics on another: run under ThreadSanitizer, any unguarded access
// to the block shows as a race.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "render/standard_engine.h"
#include "core/sample_source.h"
#include "core/scope.h"

namespace quorvel {
namespace {

TEST(ScopeConcurrency, DrawsWhileTheLoopFillsBlocks) {
    FixedClock clock;
    StandardEngine engine(clock);
    Scope scope(engine.ctx);

    std::atomic<bool> done{false};
    std::thread capture([&] {
        std::vector<double> samples(FramesPerBlock * 4);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = std::round(9000.0 * std::sin(2 * std::numbers::pi * 500.0 * static_cast<double>(i) / 11025.0));
        for (int round = 0; round < 100; ++round) {
            SampleQueue queue;
            queue.Append(samples);
            engine.ProcessPendingBlocks(queue);
        }
        done = true;
    });

    int calls = 0;
    while (!done.load() || calls < 10) {
        scope.DrawScope();
        ++calls;
        for (const ScopePoint& p : scope.ScopeTrace()) {
            ASSERT_GE(p.y, 0);
            ASSERT_LE(p.y, 70);
        }
        std::this_thread::yield();
    }
    capture.join();
    // The sine reached the scope: its traces span the band.
    int low = 100;
    for (const ScopePoint& p : scope.ScopeTrace()) low = std::min(low, p.y);
    EXPECT_LT(low, 20);
}

}  // namespace
}  // namespace quorvel
