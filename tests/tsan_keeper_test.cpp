// The capture keeper on the window's thread while a simulated sound card fills
// buffers from its own thread and the capture thread processes them: the device
// goes away and comes back several times, and the keeper closes and opens it
// again each time. Run under ThreadSanitizer, any unguarded shared access shows
// as a race; in any build, blocks must flow again after every return and no
// buffer may be handed to a closed device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "render/standard_engine.h"
#include "core/waveio.h"
#include "fake_wave_input.h"

namespace quorvel {
namespace {

using testing::FakeWaveInput;
using Clock = std::chrono::steady_clock;

TEST(KeeperConcurrency, LosingAndRegainingTheDeviceWhileTheCardDeliversNeitherRacesNorHangs) {
    FixedClock clock;
    StandardEngine engine(clock);
    engine.ctx.settings.ZveiEnabled.store(true);
    FakeWaveInput device({"Line"});
    WaveCapture capture(device, engine);
    capture.EnumerateDevices();
    capture.OpenCapture();
    ASSERT_TRUE(capture.CaptureRunning());
    CaptureKeeper keeper(capture);

    std::atomic<bool> stop{false};
    std::thread card([&] {
        while (!stop.load()) {
            device.Fill(1);  // fills nothing while the device is away or closed
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    // Runs the keeper as the window's timer would until `done` or 10 s.
    auto runUntil = [&](const auto& done) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (Clock::now() > deadline) return false;
            keeper.Check(Clock::now());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    };

    int restored = 0;
    for (int round = 0; round < 3; ++round) {
        const std::uint64_t before = capture.ProcessedBlocks();
        ASSERT_TRUE(runUntil([&] { return capture.ProcessedBlocks() >= before + 20; })) << "round " << round;
        device.Disappear();
        ASSERT_TRUE(runUntil([&] { return keeper.Lost(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(700));  // at least one failed attempt
        keeper.Check(Clock::now());
        device.Reappear();
        ASSERT_TRUE(runUntil([&] { return !keeper.Lost(); }));
        ++restored;
    }
    const std::uint64_t before = capture.ProcessedBlocks();
    EXPECT_TRUE(runUntil([&] { return capture.ProcessedBlocks() >= before + 20; }));
    stop.store(true);
    card.join();
    capture.CloseCapture();
    EXPECT_EQ(restored, 3);
    EXPECT_GE(keeper.Attempts(), 1);
    EXPECT_EQ(device.AddsWhileClosed(), 0);
    EXPECT_FALSE(device.IsOpen());
}

}  // namespace
}  // namespace quorvel
