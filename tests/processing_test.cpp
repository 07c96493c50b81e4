#include "core/processing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "render/standard_engine.h"
#include "core/registry.h"
#include "core/sample_source.h"

namespace quorvel {
namespace {

// A source of `count` blocks whose samples come from a function of the running
// sample index.
class GeneratedBlocks final : public BlockSource {
public:
    GeneratedBlocks(int count, std::function<double(long)> sample) : remaining_(count), sample_(std::move(sample)) {}
    std::int32_t PendingBlocks() const override { return remaining_; }
    void ExtractBlock(SampleArray& block) override {
        for (double& x : block) x = sample_(index_++);
        --remaining_;
    }

private:
    int remaining_;
    long index_ = 0;
    std::function<double(long)> sample_;
};

// Test double for the decoders of the standard list: records the order of
// calls and lets a test act inside a call.
class RecordingDecoders {
public:
    std::vector<std::string> calls;
    std::function<void(const std::string&)> onCall;

    RecordingDecoders() {
        for (const DecoderEntry& e : StandardDecoders()) {
            recorders_.push_back(std::make_unique<Recorder>(*this, std::string(e.kind)));
            slots_.push_back({&e, recorders_.back().get(), false});
        }
    }
    std::span<const DecoderSlot> Slots() const { return slots_; }

private:
    struct Recorder final : BlockDecoder {
        Recorder(RecordingDecoders& o, std::string n) : owner(o), name(std::move(n)) {}
        void ProcessBlock() override {
            owner.calls.push_back(name);
            if (owner.onCall) owner.onCall(name);
        }
        bool Busy() const override { return false; }
        void FinishInput() override {}
        RecordingDecoders& owner;
        std::string name;
    };
    std::vector<std::unique_ptr<Recorder>> recorders_;
    std::vector<DecoderSlot> slots_;
};

struct Spine {
    FixedClock clock;
    SharedContext ctx{clock};
    InputConditioner conditioner;
    RecordingDecoders decoders;
    DecoderSet set{std::vector<DecoderSlot>(decoders.Slots().begin(), decoders.Slots().end())};
    void Run(BlockSource& source) { ProcessPendingBlocks(ctx, conditioner, source, set); }
    void RunSilence(int blocks) {
        GeneratedBlocks silence(blocks, [](long) { return 0.0; });
        Run(silence);
    }
};

TEST(ProcessingLoop, CallsTheSwitchedOnDecodersInFixedOrder) {
    Spine s;
    s.ctx.settings.ZveiEnabled = true;
    s.ctx.settings.PocsagEnabled = true;
    s.ctx.settings.FmsEnabled = true;
    s.RunSilence(2);
    EXPECT_EQ(s.decoders.calls, (std::vector<std::string>{"pocsag", "fms", "zvei", "pocsag", "fms", "zvei"}));

    s.decoders.calls.clear();
    s.ctx.settings.FmsEnabled = false;
    s.RunSilence(1);
    EXPECT_EQ(s.decoders.calls, (std::vector<std::string>{"pocsag", "zvei"}));
}

TEST(ProcessingLoop, ReadsEachSwitchWhenItReachesItsDecoder) {
    Spine s;
    s.ctx.settings.PocsagEnabled = true;
    s.ctx.settings.FmsEnabled = false;
    // The POCSAG call switches FMS on: it runs in the same block.
    s.decoders.onCall = [&](const std::string& name) {
        if (name == "pocsag") s.ctx.settings.FmsEnabled = true;
    };
    s.RunSilence(1);
    EXPECT_EQ(s.decoders.calls, (std::vector<std::string>{"pocsag", "fms"}));
}

TEST(ProcessingLoop, AllSwitchesOffStillConditionsAndKeepsStatusLines) {
    Spine s;
    s.ctx.ActivityLine.Set("FMS");
    GeneratedBlocks loud(3, [](long i) { return (i / 10) % 2 == 0 ? 20000.0 : -20000.0; });
    s.Run(loud);
    EXPECT_TRUE(s.decoders.calls.empty());
    EXPECT_GT(s.ctx.stats.AcLevel.load(), 19000.0);
    EXPECT_EQ(s.ctx.ActivityLine.Get(), "FMS");
    EXPECT_EQ(loud.PendingBlocks(), 0);
}

TEST(ProcessingLoop, ConditioningAndEachDecoderDrawInLoopOrder) {
    Spine s;
    s.ctx.settings.PocsagEnabled = true;
    s.ctx.settings.ZveiEnabled = true;
    std::vector<double> firstDraw;
    s.decoders.onCall = [&](const std::string&) {
        firstDraw.push_back(s.ctx.NextRandom());
        for (int i = 1; i < FramesPerBlock; ++i) s.ctx.NextRandom();
    };
    s.RunSilence(2);
    // Reference: conditioning 1024 draws, then POCSAG 1024, then ZVEI 1024, per block.
    RandomGenerator reference;
    std::vector<double> expected;
    for (int block = 0; block < 2; ++block) {
        for (int i = 0; i < FramesPerBlock; ++i) reference.NextRandom();
        for (int decoder = 0; decoder < 2; ++decoder) {
            expected.push_back(reference.NextRandom());
            for (int i = 1; i < FramesPerBlock; ++i) reference.NextRandom();
        }
    }
    EXPECT_EQ(firstDraw, expected);
    EXPECT_EQ(s.ctx.random.Seed(), reference.Seed());
}

TEST(TextHandoff, FirstTakeIsEmptyAndLaterTextArrivesOnceInOrder) {
    Spine s;
    std::string taken = "stale";
    EXPECT_TRUE(s.ctx.TakeText(taken));
    EXPECT_EQ(taken, "");
    // Nothing published yet: a second take gets nothing.
    EXPECT_FALSE(s.ctx.TakeText(taken));

    int block = 0;
    s.ctx.settings.PocsagEnabled = true;
    s.decoders.onCall = [&](const std::string&) { s.ctx.MessageText += "line " + std::to_string(block++) + "\r\n"; };
    s.RunSilence(1);  // published: line 0
    s.RunSilence(2);  // lines 1 and 2 wait in MessageText
    EXPECT_TRUE(s.ctx.TakeText(taken));
    EXPECT_EQ(taken, "line 0\r\n");
    s.RunSilence(1);  // publishes lines 1..3 together
    EXPECT_TRUE(s.ctx.TakeText(taken));
    EXPECT_EQ(taken, "line 1\r\nline 2\r\nline 3\r\n");
    EXPECT_TRUE(s.ctx.MessageText.empty());
}

TEST(TextHandoff, ABlockWithoutTextPublishesAnEmptyText) {
    Spine s;
    std::string taken;
    s.ctx.TakeText(taken);
    s.RunSilence(1);
    EXPECT_TRUE(s.ctx.TakeText(taken));
    EXPECT_TRUE(taken.empty());
}

TEST(TextHandoff, TextOfADecoderSwitchedOffIsStillPublished) {
    Spine s;
    std::string taken;
    s.ctx.TakeText(taken);
    s.ctx.MessageText = "left over\r\n";
    s.RunSilence(1);
    s.ctx.TakeText(taken);
    EXPECT_EQ(taken, "left over\r\n");
}

TEST(StatusLines, KeepAtMostSixtyFourCharacters) {
    StatusLine line;
    EXPECT_EQ(line.Get(), "");
    const std::string seventy(70, 'x');
    line.Set(seventy);
    EXPECT_EQ(line.Get(), std::string(64, 'x'));
    line.Set("POCSAG\r\nidles");
    EXPECT_EQ(line.Get(), "POCSAG\r\nidles");
}

TEST(Conditioning, SilenceSettlesAtTheEnvelopeFloor) {
    Spine s;
    s.RunSilence(5);
    EXPECT_EQ(s.ctx.stats.AcLevel.load(), 1.0);
    EXPECT_EQ(s.ctx.stats.DcMagnitude.load(), 0.0);
    EXPECT_EQ(meter::Position(s.ctx.stats.AcLevel.load()), -45);
    EXPECT_EQ(meter::BarValue(-45), -29);
}

TEST(Conditioning, ConstantInputRaisesTheDcOffsetWithATimeConstantOf10000Samples) {
    Spine s;
    GeneratedBlocks constant(11, [](long) { return 1000.0; });
    s.Run(constant);
    const double afterElevenBlocks = 1000.0 * (1.0 - std::pow(0.9999, 11 * 1024));
    EXPECT_NEAR(s.ctx.stats.DcOffset.load(), afterElevenBlocks, 1e-6);
    EXPECT_EQ(s.ctx.stats.DcMagnitude.load(), s.ctx.stats.DcOffset.load());
    // One second (11025 samples) lies between block 10 and block 11: about 668.
    const double afterOneSecond = 1000.0 * (1.0 - std::pow(0.9999, 11025));
    EXPECT_NEAR(afterOneSecond, 668.0, 0.5);
    EXPECT_GT(afterElevenBlocks, afterOneSecond);
}

TEST(Conditioning, ClippingIsStrictlyAbove30000) {
    // Find a position whose dither lifts 30000 above 30000 (r > 0.5) and one
    // whose dither lowers it.
    RandomGenerator reference;
    int high = -1;
    int low = -1;
    for (int i = 0; i < FramesPerBlock; ++i) {
        const double r = reference.NextRandom();
        if (r > 0.5 && high < 0) high = i;
        if (r < 0.5 && low < 0) low = i;
    }
    ASSERT_GE(high, 0);
    ASSERT_GE(low, 0);
    {
        Spine s;
        GeneratedBlocks one(1, [&](long i) { return i == low ? 30000.0 : 0.0; });
        s.Run(one);
        EXPECT_EQ(s.ctx.stats.ClipHold.load(), 0.0) << "30000 lowered by its dither is not clipping";
    }
    {
        Spine s;
        GeneratedBlocks one(1, [&](long i) { return i == high ? 30000.0 : 0.0; });
        s.Run(one);
        EXPECT_NEAR(s.ctx.stats.ClipHold.load(), 2.0 * std::pow(0.99999, FramesPerBlock - 1 - high), 1e-12);
    }
    {
        Spine s;
        GeneratedBlocks one(1, [&](long i) { return i == low ? -30001.0 : 0.0; });
        s.Run(one);
        EXPECT_GT(s.ctx.stats.ClipHold.load(), 1.9);
    }
}

TEST(Conditioning, ClipHoldFallsToOneAfterAbout69315Samples) {
    Spine s;
    GeneratedBlocks spike(1, [](long i) { return i == 0 ? 32767.0 : 0.0; });
    s.Run(spike);
    EXPECT_TRUE(meter::ClipIndicatorRed(s.ctx.stats.ClipHold.load()));
    // 2 * 0.99999^n <= 1 from n = 69315 on: 1023 samples of the first block and
    // 67 more blocks reach it, 66 do not.
    s.RunSilence(66);
    EXPECT_TRUE(meter::ClipIndicatorRed(s.ctx.stats.ClipHold.load()));
    s.RunSilence(1);
    EXPECT_FALSE(meter::ClipIndicatorRed(s.ctx.stats.ClipHold.load()));
    EXPECT_FALSE(meter::ClipIndicatorRed(1.0));
}

TEST(Conditioning, FullScaleSquareWaveReadsFullScale) {
    Spine s;
    GeneratedBlocks square(4, [](long i) { return (i / 20) % 2 == 0 ? 32767.0 : -32768.0; });
    s.Run(square);
    EXPECT_GT(s.ctx.stats.AcLevel.load(), 32000.0);
    EXPECT_EQ(meter::Position(s.ctx.stats.AcLevel.load()), 0);
    EXPECT_EQ(meter::BarValue(meter::Position(s.ctx.stats.AcLevel.load())), 0);
}

TEST(Conditioning, NeverChangesTheSampleBlock) {
    Spine s;
    GeneratedBlocks ramp(1, [](long i) { return static_cast<double>(i) - 512.0; });
    s.Run(ramp);
    for (int i = 0; i < FramesPerBlock; ++i) ASSERT_EQ(s.ctx.SampleBlock[i], i - 512.0);
}

TEST(Meter, PositionsAndEmptyBars) {
    EXPECT_EQ(meter::Position(0.0), -45);  // raised to 1.0 first
    EXPECT_EQ(meter::Position(32768.0), 0);
    EXPECT_EQ(meter::Position(41.0), -29);
    EXPECT_EQ(meter::Position(3276.8), -10);
    EXPECT_EQ(meter::BarValue(-30), -29);
    EXPECT_EQ(meter::BarValue(-12), -12);
    EXPECT_EQ(meter::BarValue(3), 0);
}

TEST(SampleQueue, HandsOutWholeBlocksAndPadsTheLast) {
    SampleQueue queue;
    std::vector<std::int16_t> samples(2500);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i);
    queue.Append(samples);
    EXPECT_EQ(queue.PendingBlocks(), 2);
    SampleArray block{};
    queue.ExtractBlock(block);
    queue.ExtractBlock(block);
    EXPECT_EQ(block[0], 1024.0);
    EXPECT_EQ(queue.PendingBlocks(), 0);
    queue.PadLastBlock();
    ASSERT_EQ(queue.PendingBlocks(), 1);
    queue.ExtractBlock(block);
    EXPECT_EQ(block[0], 2048.0);
    EXPECT_EQ(block[451], 2499.0);
    EXPECT_EQ(block[452], 0.0);
    EXPECT_EQ(block[1023], 0.0);
}

TEST(DecoderSettings, ToneTableChoiceSetsTheRunLimits) {
    DecoderSettings settings;
    settings.SelectToneTable(3);
    EXPECT_EQ(settings.ToneMinRun.load(), 7);
    EXPECT_EQ(settings.ToneMaxRun.load(), 15);
    settings.SelectToneTable(1);
    EXPECT_EQ(settings.ZveiTableIndex.load(), 1);
    EXPECT_EQ(settings.ToneMinRun.load(), 4);
    EXPECT_EQ(settings.ToneMaxRun.load(), 10);
}

}  // namespace
}  // namespace quorvel
