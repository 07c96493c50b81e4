#include "start_time.h"

#include <cstdio>
#include <ctime>

namespace quorvel::tools {

namespace {

// Exactly `count` decimal digits at `at`, moved past; false otherwise.
bool Digits(const std::string& s, std::size_t& at, int count, int& value) {
    value = 0;
    for (int k = 0; k < count; ++k, ++at) {
        if (at >= s.size() || s[at] < '0' || s[at] > '9') return false;
        value = value * 10 + (s[at] - '0');
    }
    return true;
}

bool Expect(const std::string& s, std::size_t& at, char c) {
    if (at >= s.size() || s[at] != c) return false;
    ++at;
    return true;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The widest offsets of real time zones.
constexpr int kEarliestOffset = -12 * 60;
constexpr int kLatestOffset = 14 * 60;

}  // namespace

bool ParseStartTime(const std::string& text, DateTime& result, std::int64_t& offsetMinutes) {
    DateTime t;
    std::size_t at = 0;
    if (!Digits(text, at, 4, t.year) || !Expect(text, at, '-') || !Digits(text, at, 2, t.month) ||
        !Expect(text, at, '-') || !Digits(text, at, 2, t.day))
        return false;
    if (at >= text.size() || (text[at] != 'T' && text[at] != ' ')) return false;
    ++at;
    if (!Digits(text, at, 2, t.hour) || !Expect(text, at, ':') || !Digits(text, at, 2, t.minute) ||
        !Expect(text, at, ':') || !Digits(text, at, 2, t.second))
        return false;
    t.millisecond = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        int ms = 0, digits = 0;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (digits < 3) ms = ms * 10 + (text[at] - '0'), ++digits;
            ++at;
        }
        if (at == first) return false;  // a point without digits
        while (digits++ < 3) ms *= 10;
        t.millisecond = ms;
    }
    // Dates that do not exist are refused, not rolled over into the next month;
    // second 60 is a leap second.
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) || t.hour > 23 ||
        t.minute > 59 || t.second > 60)
        return false;
    std::int64_t offset = 0;
    if (at == text.size()) {
        std::tm tm = CalendarFields(t);
        const std::time_t when = std::mktime(&tm);
        std::tm utc{};
        gmtime_r(&when, &utc);
        const DateTime u{utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, 0};
        DateTime l = t;
        l.millisecond = 0;
        offset = (CivilMilliseconds(l) - CivilMilliseconds(u)) / 60000;
    } else if (text[at] == 'Z') {
        if (++at != text.size()) return false;
    } else {
        const char sign = text[at++];
        int h = 0, m = 0;
        if ((sign != '+' && sign != '-') || !Digits(text, at, 2, h) || !Expect(text, at, ':') ||
            !Digits(text, at, 2, m) || at != text.size() || m > 59)
            return false;
        offset = (sign == '-' ? -1 : 1) * (h * 60 + m);
        if (offset < kEarliestOffset || offset > kLatestOffset) return false;
    }
    result = t;
    offsetMinutes = offset;
    return true;
}

}  // namespace quorvel::tools
