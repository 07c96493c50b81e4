// The scope trace: trigger, free run, envelope, traces that span two blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "render/standard_engine.h"
#include "core/scope.h"
#include "test_support.h"

namespace quorvel {
namespace {

class ScopeTest : public ::testing::Test {
protected:
    // Put a block straight into SampleBlock with chosen statistics.
    void Load(const SampleArray& block, double dcOffset, double acLevel) {
        engine.ctx.SampleBlock = block;
        engine.ctx.stats.DcOffset.store(dcOffset);
        engine.ctx.stats.AcLevel.store(acLevel);
    }
    static SampleArray Filled(double value) {
        SampleArray a;
        a.fill(value);
        return a;
    }

    FixedClock clock;
    StandardEngine engine{clock};
    Scope scope{engine.ctx};
};

TEST_F(ScopeTest, SilenceThroughTheLoopFreeRunsAFlatLine) {
    std::vector<std::int16_t> silence(4 * FramesPerBlock, 0);
    testing::DecodeSamples(engine, silence);
    ASSERT_LT(engine.ctx.stats.AcLevel.load(), 10.0);

    scope.DrawScope();
    EXPECT_FALSE(scope.TraceActive());
    EXPECT_EQ(scope.TracePosition(), Scope::TracePoints);
    EXPECT_DOUBLE_EQ(scope.ScopeEnvelope(), 40.0);
    for (std::int32_t i = 0; i < Scope::TracePoints; ++i) {
        EXPECT_EQ(scope.ScopeTrace()[i], (ScopePoint{i, 35})) << "point " << i;
    }
    // Each later call starts again from sample 0 of the block.
    scope.DrawScope();
    EXPECT_EQ(scope.TracePosition(), Scope::TracePoints);
}

TEST_F(ScopeTest, SineTriggersOnTheFirstRisingCrossing) {
    // 300 Hz at amplitude 10000, starting just past a peak so that the first
    // rising crossing of the zero line comes later in the block.
    SampleArray block;
    const double phase0 = std::numbers::pi / 2 + 0.1;
    for (std::int32_t i = 0; i < FramesPerBlock; ++i) {
        block[i] = std::round(10000.0 * std::sin(2 * std::numbers::pi * 300.0 * i / 11025.0 + phase0));
    }
    std::int32_t expected = -1;
    for (std::int32_t i = 1; i < FramesPerBlock && expected < 0; ++i) {
        if (block[i] > 0 && block[i - 1] < 0) expected = i;
    }
    ASSERT_GT(expected, 10);
    Load(block, 0.0, 9000.0);

    scope.DrawScope();
    EXPECT_FALSE(scope.TraceActive());
    EXPECT_EQ(scope.TracePosition(), expected + Scope::TracePoints);
    std::int32_t low = 1000, high = -1000;
    for (std::int32_t i = 0; i < Scope::TracePoints; ++i) {
        EXPECT_EQ(scope.ScopeTrace()[i].x, i);
        low = std::min(low, scope.ScopeTrace()[i].y);
        high = std::max(high, scope.ScopeTrace()[i].y);
    }
    // The envelope follows the peaks, so the trace spans the whole 5..65 band
    // and never leaves it.
    EXPECT_EQ(low, 5);
    EXPECT_GE(high, 64);
    EXPECT_LE(high, 65);

    // The next trace starts at the same crossing; with the envelope now at the
    // sine's amplitude its first point lies just above the centre line.
    scope.DrawScope();
    EXPECT_EQ(scope.TracePosition(), expected + Scope::TracePoints);
    EXPECT_LE(scope.ScopeTrace()[0].y, 35);
    EXPECT_GE(scope.ScopeTrace()[0].y, 30);
    EXPECT_GT(scope.ScopeEnvelope(), 9000.0);
}

TEST_F(ScopeTest, OnlyAStrictCrossingTriggers) {
    SampleArray block = Filled(-500.0);
    // A rise through a sample lying exactly on the line (DC offset 100).
    block[10] = 100.0;
    for (std::int32_t i = 11; i < 20; ++i) block[i] = 700.0;
    // A proper crossing later on.
    block[600] = 700.0;
    Load(block, 100.0, 500.0);
    scope.DrawScope();
    EXPECT_EQ(scope.TracePosition(), 600 + Scope::TracePoints);
    EXPECT_EQ(scope.ScopeTrace()[0].y, 5);
}

TEST_F(ScopeTest, StrongInputWithoutCrossingKeepsThePreviousTrace) {
    Load(Filled(0.0), 0.0, 1.0);
    scope.DrawScope();
    const Scope::Trace before = scope.ScopeTrace();

    Load(Filled(8000.0), 0.0, 8000.0);
    for (int call = 0; call < 3; ++call) scope.DrawScope();
    EXPECT_FALSE(scope.TraceActive());
    EXPECT_EQ(scope.ScopeTrace(), before);

    // The same block with a weak level runs free instead.
    Load(Filled(8000.0), 0.0, 9.99);
    scope.DrawScope();
    EXPECT_EQ(scope.ScopeTrace()[0].y, 5);
}

TEST_F(ScopeTest, CrossingLateInTheBlockGoesOnInTheNextBlock) {
    SampleArray first = Filled(-1000.0);
    for (std::int32_t i = 900; i < FramesPerBlock; ++i) first[i] = 1000.0;
    Load(first, 0.0, 1000.0);
    scope.DrawScope();
    EXPECT_TRUE(scope.TraceActive());
    EXPECT_EQ(scope.TraceCount(), 124);
    EXPECT_EQ(scope.TracePosition(), 0);
    EXPECT_EQ(scope.ScopeTrace()[123], (ScopePoint{123, 5}));
    EXPECT_EQ(scope.ScopeTrace()[124], (ScopePoint{0, 0}));  // not reached yet

    // The next block: no trigger search, the trace goes on at sample 0 even
    // though this block crosses the line elsewhere.
    SampleArray second = Filled(0.0);
    second[500] = -50.0;
    second[501] = 50.0;
    Load(second, 0.0, 1000.0);
    scope.DrawScope();
    EXPECT_FALSE(scope.TraceActive());
    EXPECT_EQ(scope.TraceCount(), Scope::TracePoints);
    EXPECT_EQ(scope.TracePosition(), 27);
    for (std::int32_t i = 124; i < Scope::TracePoints; ++i) {
        EXPECT_EQ(scope.ScopeTrace()[i], (ScopePoint{i, 35})) << "point " << i;
    }
}

TEST_F(ScopeTest, BurstSetsTheEnvelopeAtOnceAndItDecaysToItsFloor) {
    SampleArray burst = Filled(0.0);
    burst[0] = 20000.0;
    Load(burst, 0.0, 1.0);
    scope.DrawScope();
    EXPECT_EQ(scope.ScopeTrace()[0].y, 5);
    EXPECT_EQ(scope.ScopeTrace()[1].y, 35);
    EXPECT_NEAR(scope.ScopeEnvelope(), 20000.0 * std::pow(0.999, 150), 1e-6);

    // Quiet blocks decay it by 0.999 per drawn sample, down to 40 and no further.
    Load(Filled(0.0), 0.0, 1.0);
    for (int call = 0; call < 60; ++call) scope.DrawScope();
    EXPECT_DOUBLE_EQ(scope.ScopeEnvelope(), 40.0);

    // Below the floor, a small signal is drawn against 40: 20 -> 35 - 15.
    SampleArray small = Filled(20.0);
    Load(small, 0.0, 1.0);
    scope.DrawScope();
    EXPECT_EQ(scope.ScopeTrace()[0].y, 20);
}

TEST_F(ScopeTest, HalvesRoundToEven) {
    // With the envelope at its floor of 40, d * 30 / 40 gives exact halves:
    // d = 2 -> 33.5 -> 34, d = 6 -> 30.5 -> 30, d = -2 -> 36.5 -> 36 (the
    // order avoids a rising crossing, which would start the trace elsewhere).
    Load(Filled(0.0), 0.0, 1.0);
    scope.DrawScope();
    ASSERT_DOUBLE_EQ(scope.ScopeEnvelope(), 40.0);
    SampleArray halves = Filled(0.0);
    halves[0] = 2.0;
    halves[1] = 6.0;
    halves[2] = -2.0;
    Load(halves, 0.0, 1.0);
    scope.DrawScope();
    EXPECT_EQ(scope.ScopeTrace()[0].y, 34);
    EXPECT_EQ(scope.ScopeTrace()[1].y, 30);
    EXPECT_EQ(scope.ScopeTrace()[2].y, 36);
}

}  // namespace
}  // namespace quorvel
