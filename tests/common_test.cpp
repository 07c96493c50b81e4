#include "core/common.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

namespace quorvel {
namespace {

TEST(NextRandom, FollowsTheLinearCongruenceFromSeedZero) {
    RandomGenerator random;
    std::uint64_t seed = 0;
    for (int i = 0; i < 10000; ++i) {
        seed = (seed * 134775813ull + 1ull) % 4294967296ull;
        const double expected = static_cast<double>(seed) / 4294967296.0;
        ASSERT_EQ(random.NextRandom(), expected) << "draw " << i;
    }
    // The first draws from seed 0, written out.
    RandomGenerator fresh;
    EXPECT_EQ(fresh.NextRandom(), 1.0 / 4294967296.0);
    EXPECT_EQ(fresh.NextRandom(), 134775814.0 / 4294967296.0);
}

TEST(NextRandom, StaysInsideTheUnitInterval) {
    RandomGenerator random;
    double lowest = 1.0;
    double highest = 0.0;
    for (int i = 0; i < 100000; ++i) {
        const double r = random.NextRandom();
        lowest = std::min(lowest, r);
        highest = std::max(highest, r);
    }
    EXPECT_GE(lowest, 0.0);
    EXPECT_LT(highest, 1.0);
    EXPECT_LT(lowest, 0.001);
    EXPECT_GT(highest, 0.999);
}

TEST(Rounding, HalvesGoToEven) {
    EXPECT_EQ(RoundHalfEven(0.5), 0);
    EXPECT_EQ(RoundHalfEven(1.5), 2);
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
    EXPECT_EQ(RoundHalfEven(-1.5), -2);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(2.4999999), 2);
    EXPECT_EQ(RoundHalfEven(2.5000001), 3);
    EXPECT_EQ(RoundHalfEvenValue(3.5), 4.0);
    EXPECT_EQ(RoundHalfEvenValue(-3.5), -4.0);
}

TEST(Rounding, OutOfRangeValuesAreClampedNotUndefined) {
    EXPECT_EQ(RoundHalfEven(1e12), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(RoundHalfEven(-1e12), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(RoundHalfEven(std::numeric_limits<double>::quiet_NaN()), std::numeric_limits<std::int32_t>::min());
}

TEST(RingDistance, CountsUnreadEntriesAcrossTheWrap) {
    EXPECT_EQ(RingDistance(5, 5, 1024), 0);
    EXPECT_EQ(RingDistance(3, 1000, 1024), 997);
    EXPECT_EQ(RingDistance(1000, 3, 1024), 27);
    EXPECT_EQ(RingDistance(255, 0, 256), 1);
    EXPECT_EQ(RingDistance(0, 255, 256), 255);
}

TEST(Text, Windows1252LettersBecomeUtf8) {
    EXPECT_EQ(Cp1252ToUtf8("\xC4\xD6\xDC\xE4\xF6\xFC\xDF"), "ÄÖÜäöüß");
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "€");
    EXPECT_EQ(Cp1252ToUtf8("a\tb\r\n"), "a\tb\r\n");
    EXPECT_EQ(Utf8ToCp1252("ÄÖÜäöüß€"), "\xC4\xD6\xDC\xE4\xF6\xFC\xDF\x80");
    EXPECT_EQ(Utf8ToCp1252("中"), "?");
}

TEST(Text, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
}

TEST(Clock, LongTimeFormatInTheCLocale) {
    std::setlocale(LC_TIME, "C");
    DateTime t;
    t.hour = 14;
    t.minute = 3;
    t.second = 7;
    EXPECT_EQ(LongTimeText(t), "14:03:07");
    FixedClock clock(t);
    EXPECT_EQ(clock.TimeOfDayText(), "14:03:07");
}

TEST(Clock, SystemClockReadsAPlausibleDate) {
    SystemClock clock;
    const DateTime local = clock.LocalNow();
    const DateTime utc = clock.UtcNow();
    EXPECT_GE(local.year, 2024);
    EXPECT_GE(utc.month, 1);
    EXPECT_LE(utc.month, 12);
    EXPECT_LT(utc.millisecond, 1000);
}

}  // namespace
}  // namespace quorvel
