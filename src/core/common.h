// Helpers every module shares: the one pseudo-random generator, rounding, ring
// distance, Windows-1252 text and the clock.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace quorvel {

// The rate every decoder reads: input of any rate is converted to it.
constexpr std::int32_t DefaultSampleRate = 11025;

// NextRandom: the one pseudo-random generator of the program, used for dither.
// A 32-bit linear congruential generator, seed 0 at start and never re-seeded, so
// every run draws the same sequence. Only the capture thread draws from it.
class RandomGenerator {
public:
    // seed := seed * 134775813 + 1 (mod 2^32); returns seed / 2^32 in [0, 1).
    double NextRandom() {
        seed_ = seed_ * 134775813u + 1u;
        return static_cast<double>(seed_) / 4294967296.0;
    }
    std::uint32_t Seed() const { return seed_; }

private:
    std::uint32_t seed_ = 0;
};

// Nearest integer, halves to even, as a double (exact for every value we meet).
double RoundHalfEvenValue(double x);

// Nearest integer, halves to even, as a 32-bit integer. Values outside the range
// of int32 (or NaN) are clamped so that no conversion is undefined.
std::int32_t RoundHalfEven(double x);

// Number of ring entries from start up to, not including, end, in a ring of
// `size` entries: end - start if end >= start, else end - start + size.
constexpr std::int32_t RingDistance(std::int32_t start, std::int32_t end, std::int32_t size) {
    return end >= start ? end - start : end - start + size;
}

// Decoded text is Windows-1252 inside the program; the window, the command-line
// tools and the tests convert at the edges.
std::string Cp1252ToUtf8(std::string_view text);
// The reverse, for tests and tools that write expected text in UTF-8. Code points
// that Windows-1252 cannot hold become '?'.
std::string Utf8ToCp1252(std::string_view text);
// Decoded lines (Windows-1252, CR LF) as the command line writes them: UTF-8, LF.
std::string Cp1252LinesToUtf8(std::string_view text);

// A calendar date and time of day, as the clock reads it.
struct DateTime {
    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;   // 0..23
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// A calendar date and time as milliseconds since 1970-01-01 00:00:00 of the same
// calendar (no time zone is involved), and back.
std::int64_t CivilMilliseconds(const DateTime& t);
DateTime CivilFromMilliseconds(std::int64_t ms);

// The fields of a date and time for the C library (daylight saving time left
// for it to find out).
std::tm CalendarFields(const DateTime& t);

// The time of day in the user's long time format (the locale's %X; 14:03:07 in a
// German or the C locale).
std::string LongTimeText(const DateTime& t);

// The clock behind every time stamp, so tests can fix it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual DateTime LocalNow() const = 0;
    virtual DateTime UtcNow() const = 0;
    // The current local time of day in the long time format.
    std::string TimeOfDayText() const { return LongTimeText(LocalNow()); }
};

// The system clock.
class SystemClock final : public Clock {
public:
    DateTime LocalNow() const override;
    DateTime UtcNow() const override;
};

// A clock that reads what it is set to (tests).
class FixedClock final : public Clock {
public:
    explicit FixedClock(DateTime local = {}, DateTime utc = {}) : local_(local), utc_(utc) {}
    DateTime LocalNow() const override { return local_; }
    DateTime UtcNow() const override { return utc_; }
    void Set(DateTime local, DateTime utc) { local_ = local; utc_ = utc; }
    void Set(DateTime local) { local_ = local; utc_ = local; }

private:
    DateTime local_;
    DateTime utc_;
};

}  // namespace quorvel
