// The capture ring against a simulated sound card: device list, hand-back and
// processing per wake, dropping when behind, reopening, failures, a vanished
// device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "render/standard_engine.h"
#include "core/waveio.h"
#include "fake_wave_input.h"

namespace quorvel {
namespace {

using testing::FakeWaveInput;

// Wait until the capture thread has finished `wakes` wakes in all.
bool WaitForWakes(const WaveCapture& capture, std::uint64_t wakes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (capture.WakeCount() < wakes) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

class CaptureRing : public ::testing::Test {
protected:
    // Open device 0 and let the thread consume the wake the open signals.
    void Open() {
        const std::uint64_t before = capture.WakeCount();
        capture.OpenCapture();
        ASSERT_TRUE(capture.CaptureRunning());
        ASSERT_TRUE(WaitForWakes(capture, before + 1));
    }
    // Fill `count` buffers at once, signal once, and wait for that wake.
    void FillOneWake(int count) {
        const std::uint64_t before = capture.WakeCount();
        ASSERT_EQ(device.Fill(count, false), count);
        ASSERT_TRUE(WaitForWakes(capture, before + 1));
    }
    void Poke() {
        const std::uint64_t before = capture.WakeCount();
        device.Wake();
        ASSERT_TRUE(WaitForWakes(capture, before + 1));
    }
    void ExpectBlockOfBuffer(std::uint64_t buffer) {
        std::lock_guard<std::mutex> guard(engine.ctx.SampleBlockLock);
        for (std::int32_t k = 0; k < FramesPerBlock; ++k)
            ASSERT_EQ(engine.ctx.SampleBlock[static_cast<std::size_t>(k)],
                      FakeWaveInput::SecondChannelValue(buffer, k))
                << "frame " << k;
    }
    void ExpectIndices(std::int32_t at) {
        EXPECT_EQ(capture.RequeueIndex(), at);
        EXPECT_EQ(capture.WriteIndex(), at);
        EXPECT_EQ(capture.ReadIndex(), at);
        EXPECT_EQ(capture.PendingBlocks(), 0);
    }

    FixedClock clock;
    StandardEngine engine{clock};
    FakeWaveInput device;
    WaveCapture capture{device, engine};
};

TEST(CaptureDevices, ListsTheFirstTwentyNamesCutToThirtyTwoBytes) {
    std::vector<std::string> names;
    for (int i = 0; i < 23; ++i) names.push_back("Input " + std::to_string(i));
    names[1] = std::string(40, 'x');
    // 31 ASCII bytes, then a two-byte character that would straddle the cut.
    names[2] = std::string(31, 'a') + "\xC3\xA4" + "b";
    FakeWaveInput device(names);
    device.unreadableNames = {3};
    FixedClock clock;
    StandardEngine engine(clock);
    WaveCapture capture(device, engine);
    capture.EnumerateDevices();

    EXPECT_EQ(capture.DeviceCount(), 23);
    const auto& listed = capture.DeviceNames();
    EXPECT_EQ(listed[0], "Input 0");
    EXPECT_EQ(listed[1], std::string(32, 'x'));
    EXPECT_EQ(listed[2], std::string(31, 'a'));
    EXPECT_EQ(listed[3], "");
    EXPECT_EQ(listed[19], "Input 19");

    // The last listed device can be chosen and opened.
    capture.SetDeviceIndex(19);
    capture.OpenCapture();
    EXPECT_TRUE(capture.CaptureRunning());
    EXPECT_EQ(device.Calls().front(), "open 19");
}

TEST(CaptureDevices, NoDeviceListsNothingAndCapturesNothing) {
    FakeWaveInput device(std::vector<std::string>{});
    FixedClock clock;
    StandardEngine engine(clock);
    WaveCapture capture(device, engine);
    capture.EnumerateDevices();
    EXPECT_EQ(capture.DeviceCount(), 0);
    for (const auto& name : capture.DeviceNames()) EXPECT_EQ(name, "");
    capture.OpenCapture();
    EXPECT_FALSE(capture.CaptureRunning());
    EXPECT_TRUE(capture.CaptureThreadAlive());
    capture.CloseCapture();
    EXPECT_FALSE(capture.CaptureThreadAlive());
    // The device never opened, so it is not stopped or closed either.
    EXPECT_EQ(device.Calls(), std::vector<std::string>{"open 0"});
}

TEST_F(CaptureRing, OneBufferPerWakeIsHandedBackAndProcessedInThatWake) {
    Open();
    EXPECT_EQ(device.Queued(), 100u);
    for (std::uint64_t n = 0; n < 3; ++n) {
        FillOneWake(1);
        EXPECT_EQ(capture.ProcessedBlocks(), n + 1);
        ExpectBlockOfBuffer(n);
        ExpectIndices(static_cast<std::int32_t>(n + 1));
        EXPECT_EQ(device.Queued(), 100u);  // handed back at once
    }
    EXPECT_EQ(capture.DroppedBlocks(), 0u);
}

TEST_F(CaptureRing, SevenAtOneWakeAreProcessedFiveThenTwo) {
    Open();
    FillOneWake(7);
    EXPECT_EQ(capture.ProcessedBlocks(), 5u);
    ExpectBlockOfBuffer(4);
    ExpectIndices(5);
    EXPECT_EQ(device.Queued(), 98u);

    Poke();
    EXPECT_EQ(capture.ProcessedBlocks(), 7u);
    ExpectBlockOfBuffer(6);
    ExpectIndices(7);
    EXPECT_EQ(device.Queued(), 100u);
}

TEST_F(CaptureRing, IndicesWrapAroundTheRing) {
    Open();
    for (int wake = 0; wake < 21; ++wake) FillOneWake(5);  // 105 buffers
    EXPECT_EQ(capture.ProcessedBlocks(), 105u);
    ExpectIndices(5);
    ExpectBlockOfBuffer(104);
}

TEST_F(CaptureRing, FortyNineWaitingAreStillProcessed) {
    Open();
    FillOneWake(49);
    EXPECT_EQ(capture.ProcessedBlocks(), 5u);
    EXPECT_EQ(capture.DroppedBlocks(), 0u);
    ExpectBlockOfBuffer(4);
}

TEST_F(CaptureRing, FiftyOrMoreWaitingAreHandedBackAndDroppedUntilFortyNineWait) {
    Open();
    FillOneWake(62);
    // 62 waiting: five handed back and dropped; nothing reaches SampleBlock.
    EXPECT_EQ(capture.ProcessedBlocks(), 0u);
    EXPECT_EQ(capture.DroppedBlocks(), 5u);
    ExpectIndices(5);
    EXPECT_EQ(device.Queued(), 38u + 5u);
    EXPECT_EQ(engine.ctx.SampleBlock[10], 0.0);

    Poke();  // 57 waiting
    Poke();  // 52 waiting
    EXPECT_EQ(capture.DroppedBlocks(), 15u);
    EXPECT_EQ(capture.ProcessedBlocks(), 0u);

    Poke();  // 47 waiting: processing resumes with buffers 15..19
    EXPECT_EQ(capture.DroppedBlocks(), 15u);
    EXPECT_EQ(capture.ProcessedBlocks(), 5u);
    ExpectBlockOfBuffer(19);
    ExpectIndices(20);
}

TEST_F(CaptureRing, ExactlyFiftyWaitingDropsOneWakeOnly) {
    Open();
    FillOneWake(50);
    EXPECT_EQ(capture.DroppedBlocks(), 5u);
    EXPECT_EQ(capture.ProcessedBlocks(), 0u);
    Poke();  // 45 waiting
    EXPECT_EQ(capture.ProcessedBlocks(), 5u);
    ExpectBlockOfBuffer(9);
}

TEST_F(CaptureRing, ReopeningRestartsTheIndicesWhileTheEngineCarriesOn) {
    Open();
    FillOneWake(3);
    ExpectIndices(3);
    const double level = engine.ctx.stats.AcLevel.load();
    const double offset = engine.ctx.stats.DcOffset.load();
    EXPECT_NE(offset, 0.0);
    engine.ctx.MessageText = "kept";

    // Choosing the same device again: close, then open.
    capture.CloseCapture();
    EXPECT_FALSE(capture.CaptureRunning());
    EXPECT_FALSE(capture.CaptureThreadAlive());
    EXPECT_FALSE(device.IsOpen());
    Open();
    ExpectIndices(0);
    EXPECT_EQ(engine.ctx.stats.AcLevel.load(), level);
    EXPECT_EQ(engine.ctx.stats.DcOffset.load(), offset);
    EXPECT_EQ(engine.ctx.MessageText, "kept");

    FillOneWake(1);
    EXPECT_EQ(capture.ProcessedBlocks(), 4u);
    ExpectBlockOfBuffer(3);
    ExpectIndices(1);
    EXPECT_EQ(device.AddsWhileClosed(), 0);

    const std::vector<std::string> expected{"open 0", "start", "stop", "reset", "close", "open 0", "start"};
    EXPECT_EQ(device.Calls(), expected);
}

TEST_F(CaptureRing, OpeningAgainWithoutClosingClosesTheOldCaptureFirst) {
    Open();
    FillOneWake(2);
    Open();  // the old device is stopped and closed before the new open
    EXPECT_TRUE(capture.CaptureRunning());
    ExpectIndices(0);
    FillOneWake(1);
    EXPECT_EQ(capture.ProcessedBlocks(), 3u);
    ExpectBlockOfBuffer(2);
    const std::vector<std::string> expected{"open 0", "start", "stop", "reset", "close", "open 0", "start"};
    EXPECT_EQ(device.Calls(), expected);
}

// Each way an open can fail: the capture is not running, the thread is alive but
// whatever wakes it is dropped, and the statistics stay at rest.
TEST(CaptureFailures, AnyFailedStepProcessesNothing) {
    struct Case {
        const char* what;
        bool failOpen, failStart;
        int failPrepareAt, failAddAt;
        bool deviceOpened;
    };
    const Case cases[] = {
        {"open", true, false, -1, -1, false},
        {"first prepare", false, false, 0, -1, true},
        {"last prepare", false, false, 99, -1, true},
        {"add", false, false, -1, 40, true},
        {"start", false, true, -1, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FixedClock clock;
        StandardEngine engine(clock);
        FakeWaveInput device;
        device.failOpen = c.failOpen;
        device.failStart = c.failStart;
        device.failPrepareAt = c.failPrepareAt;
        device.failAddAt = c.failAddAt;
        device.fillWhileStopped = true;
        WaveCapture capture(device, engine);
        capture.OpenCapture();
        EXPECT_FALSE(capture.CaptureRunning());
        EXPECT_TRUE(capture.CaptureThreadAlive());
        const bool started = !c.failOpen && c.failPrepareAt < 0 && c.failAddAt < 0;
        const auto calls = device.Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "start"), started ? 1 : 0);

        // Whatever the device delivers now is dropped: wait for the wake of the
        // open (signalled only when the open succeeded), then for one after the
        // buffers were marked done.
        // A device that never opened has no event to signal.
        if (!c.failOpen) {
            ASSERT_TRUE(WaitForWakes(capture, 1u));
            const std::uint64_t wakes = capture.WakeCount();
            EXPECT_EQ(device.Fill(7, false), c.failPrepareAt >= 0 ? 0 : 7);
            device.Wake();
            ASSERT_TRUE(WaitForWakes(capture, wakes + 1));
        }
        EXPECT_EQ(capture.ProcessedBlocks(), 0u);
        EXPECT_EQ(engine.ctx.stats.AcLevel.load(), 0.0);
        EXPECT_EQ(engine.ctx.stats.DcOffset.load(), 0.0);

        capture.CloseCapture();
        EXPECT_FALSE(capture.CaptureThreadAlive());
        EXPECT_FALSE(device.IsOpen());
        const auto after = device.Calls();
        EXPECT_EQ(std::count(after.begin(), after.end(), "close"), c.deviceOpened ? 1 : 0);

        // Choosing the device again retries, and now it works.
        device.failOpen = device.failStart = false;
        device.failPrepareAt = device.failAddAt = -1;
        device.fillWhileStopped = false;
        capture.OpenCapture();
        EXPECT_TRUE(capture.CaptureRunning());
    }
}

TEST_F(CaptureRing, AVanishedDeviceStopsDeliveringWithoutHangingAndCanBeReopened) {
    Open();
    FillOneWake(2);
    device.Disappear();
    EXPECT_EQ(device.Fill(3), 0);
    Poke();
    EXPECT_EQ(capture.ProcessedBlocks(), 2u);
    EXPECT_TRUE(capture.CaptureThreadAlive());

    const auto start = std::chrono::steady_clock::now();
    capture.CloseCapture();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "closing hung";  // a hang, not a slow machine
    EXPECT_FALSE(device.IsOpen());

    // While it is away, choosing it again fails quietly; once back, it works.
    capture.OpenCapture();
    EXPECT_FALSE(capture.CaptureRunning());
    device.Reappear();
    Open();
    FillOneWake(1);
    EXPECT_EQ(capture.ProcessedBlocks(), 3u);
    ExpectBlockOfBuffer(2);
}

TEST(CaptureLifetime, DestroyingTheCaptureEndsTheThreadAndClosesTheDevice) {
    FixedClock clock;
    StandardEngine engine(clock);
    FakeWaveInput device;
    {
        WaveCapture capture(device, engine);
        capture.OpenCapture();
        ASSERT_TRUE(device.IsOpen());
        device.Fill(3);
    }
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.AddsWhileClosed(), 0);
}

TEST(CaptureLifetime, ExtractBlockBeforeAnyOpenLeavesTheBlockAlone) {
    FixedClock clock;
    StandardEngine engine(clock);
    FakeWaveInput device;
    WaveCapture capture(device, engine);
    SampleArray block{};
    block[0] = 7.0;
    EXPECT_EQ(capture.PendingBlocks(), 0);
    capture.ExtractBlock(block);
    EXPECT_EQ(block[0], 7.0);
}

}  // namespace
}  // namespace quorvel
