// The capture thread against the window's side at the same time: a simulated
// sound card fills buffers from its own thread while another thread takes the
// decoded text, reads the status lines and the statistics, draws the scope and
// reopens the device. Run under ThreadSanitizer, any unguarded shared access
// shows as a race; in any build, the text must arrive exactly as when the same
// samples are decoded block by block in one thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "render/standard_engine.h"
#include "core/scope.h"
#include "core/waveio.h"
#include "fake_wave_input.h"
#include "gen/signal.h"
#include "gen/tone_gen.h"
#include "test_support.h"

namespace quorvel {
namespace {

using testing::FakeWaveInput;

// Five-tone calls with silence around them, as whole blocks of 16-bit values.
std::vector<std::int16_t> ToneCalls() {
    std::vector<std::vector<double>> sequences;
    for (const char* call : {"12345", "67890", "13579", "24680"}) {
        std::vector<double> freqs;
        EXPECT_TRUE(gen::ToneFrequencies(0, call, true, freqs));
        sequences.push_back(freqs);
    }
    gen::ToneTiming timing;
    timing.pauseSeconds = 0.6;
    std::vector<double> samples(3000, 0.0);
    const auto tones = gen::SynthesizeToneSequences(sequences, timing, 10000.0, DefaultSampleRate).samples;
    samples.insert(samples.end(), tones.begin(), tones.end());
    samples.resize((samples.size() / FramesPerBlock + 6) * FramesPerBlock, 0.0);
    return gen::Quantize(samples);
}

void EnableAll(Engine& engine) {
    engine.ctx.settings.PocsagEnabled.store(true);
    engine.ctx.settings.FmsEnabled.store(true);
    engine.ctx.settings.ZveiEnabled.store(true);
}

// What the window's timers do, until told to stop: take text, read the status
// lines and statistics, draw the scope.
struct WindowSide {
    explicit WindowSide(Engine& engine) : engine(engine), scope(engine.ctx) {}
    void Tick() {
        std::string taken;
        if (engine.ctx.TakeText(taken)) text += taken;
        statusChars += engine.ctx.PocsagStatusLine.Get().size() + engine.ctx.ActivityLine.Get().size();
        const auto& s = engine.ctx.stats;
        levelSum += s.DcOffset.load() + s.AcLevel.load() + s.DcMagnitude.load() + s.ClipHold.load();
        scope.DrawScope();
        engine.ctx.settings.ZveiEnabled.store(true);
    }
    Engine& engine;
    Scope scope;
    std::string text;
    std::size_t statusChars = 0;
    double levelSum = 0.0;
};

bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

TEST(CaptureConcurrency, LiveTextEqualsTheBlockByBlockDecode) {
    const std::vector<std::int16_t> pcm = ToneCalls();
    const std::uint64_t blocks = pcm.size() / FramesPerBlock;

    FixedClock clock;
    StandardEngine reference(clock);
    EnableAll(reference);
    const std::string expected = testing::DecodeSamples(reference, pcm);
    ASSERT_NE(expected.find("12345"), std::string::npos) << expected;

    StandardEngine engine(clock);
    EnableAll(engine);
    FakeWaveInput device;
    device.secondChannel = [&pcm](std::uint64_t buffer, std::int32_t frame) {
        return pcm[static_cast<std::size_t>(buffer) * FramesPerBlock + static_cast<std::size_t>(frame)];
    };
    WaveCapture capture(device, engine);
    capture.EnumerateDevices();
    capture.OpenCapture();
    ASSERT_TRUE(capture.CaptureRunning());

    // The card: one buffer at a time, never more than 20 ahead of the loop, so
    // no block is dropped and no buffer is refilled while it is being read. A
    // wake hands back at most five buffers, and a real card's next buffer brings
    // the next wake; after the last block this card just keeps waking the thread.
    std::atomic<bool> stop{false};
    std::thread card([&] {
        std::uint64_t filled = 0;
        while (!stop.load()) {
            if (filled >= blocks) {
                device.Wake();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else if (filled >= capture.ProcessedBlocks() + 20) {
                std::this_thread::yield();
            } else {
                filled += static_cast<std::uint64_t>(device.Fill(1));
            }
        }
    });

    WindowSide window(engine);
    const bool finished = WaitUntil([&] {
        window.Tick();
        return capture.ProcessedBlocks() >= blocks;
    });
    stop.store(true);
    card.join();
    ASSERT_TRUE(finished) << capture.ProcessedBlocks() << " of " << blocks << " blocks processed";
    // A block counts as processed when it is taken from the ring, before its
    // decoders have run: end the capture thread, then take what it published
    // and what it could not publish yet (a text the window had not taken).
    capture.CloseCapture();
    window.Tick();
    engine.ctx.PublishText();
    window.Tick();

    EXPECT_EQ(capture.ProcessedBlocks(), blocks);
    EXPECT_EQ(capture.DroppedBlocks(), 0u);
    EXPECT_EQ(window.text, expected);
    EXPECT_GT(window.levelSum, 0.0);
    EXPECT_EQ(device.AddsWhileClosed(), 0);
}

TEST(CaptureConcurrency, ReopeningWhileTheCardDeliversNeitherRacesNorHangs) {
    FixedClock clock;
    StandardEngine engine(clock);
    EnableAll(engine);
    FakeWaveInput device;
    device.secondChannel = [](std::uint64_t buffer, std::int32_t frame) {
        return static_cast<std::int16_t>(
            std::lround(8000.0 * std::sin(0.37 * static_cast<double>(buffer * FramesPerBlock + frame))));
    };
    WaveCapture capture(device, engine);
    capture.OpenCapture();

    std::atomic<bool> stop{false};
    std::thread card([&] {
        while (!stop.load()) {
            // At most ten buffers done and not yet handed back: a buffer handed
            // back waits behind 90 others, so it is not refilled while its block
            // is read (and the refill comes after later hand-backs).
            if (device.Queued() <= 90 || device.Fill(1) == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    WindowSide window(engine);
    for (int reopen = 0; reopen < 8; ++reopen) {
        const std::uint64_t before = capture.ProcessedBlocks();
        ASSERT_TRUE(WaitUntil([&] {
            window.Tick();
            return capture.ProcessedBlocks() >= before + 3;
        })) << "no blocks after reopen " << reopen;
        // Choosing the device again, from the window's thread.
        capture.CloseCapture();
        EXPECT_FALSE(capture.CaptureThreadAlive());
        capture.OpenCapture();
        EXPECT_TRUE(capture.CaptureRunning());
    }
    stop.store(true);
    card.join();
    capture.CloseCapture();
    EXPECT_EQ(device.AddsWhileClosed(), 0);
    EXPECT_FALSE(device.IsOpen());
}

}  // namespace
}  // namespace quorvel
