#include "common.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

namespace quorvel {

double RoundHalfEvenValue(double x) {
    // The default floating-point environment rounds to nearest, ties to even;
    // nothing in the program changes it.
    return std::nearbyint(x);
}

std::int32_t RoundHalfEven(double x) {
    const double r = std::nearbyint(x);
    if (!(r >= -2147483648.0)) return std::numeric_limits<std::int32_t>::min();
    if (r > 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(r);
}

namespace {

// Unicode code points of Windows-1252 bytes 0x80..0x9F; 0 where the code page has
// no character (those bytes are passed through as the C1 control of that value).
constexpr char16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        char32_t cp = b;
        if (b >= 0x80 && b <= 0x9F && kHighControls[b - 0x80] != 0) cp = kHighControls[b - 0x80];
        AppendUtf8(out, cp);
    }
    return out;
}

std::string Cp1252LinesToUtf8(std::string_view text) {
    std::string lf;
    lf.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lf.push_back(text[i]);
    }
    return Cp1252ToUtf8(lf);
}

std::string Utf8ToCp1252(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        auto next = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F); };
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0 && i + 1 < text.size()) {
            cp = (static_cast<char32_t>(b & 0x1F) << 6) | next(1);
            len = 2;
        } else if ((b & 0xF0) == 0xE0 && i + 2 < text.size()) {
            cp = (static_cast<char32_t>(b & 0x0F) << 12) | (next(1) << 6) | next(2);
            len = 3;
        } else if ((b & 0xF8) == 0xF0 && i + 3 < text.size()) {
            len = 4;
        }
        i += len;
        const bool passThrough = cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF) ||
                                 (cp >= 0x80 && cp <= 0x9F && kHighControls[cp - 0x80] == 0);
        if (passThrough) {
            out.push_back(static_cast<char>(cp));
            continue;
        }
        char byte = '?';
        for (int k = 0; k < 32; ++k) {
            if (kHighControls[k] != 0 && kHighControls[k] == cp) byte = static_cast<char>(0x80 + k);
        }
        out.push_back(byte);
    }
    return out;
}

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

}  // namespace

std::int64_t CivilMilliseconds(const DateTime& t) {
    const std::int64_t seconds = DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    return seconds * 1000 + t.millisecond;
}

DateTime CivilFromMilliseconds(std::int64_t ms) {
    DateTime t;
    const std::int64_t seconds = FloorDiv(ms, 1000);
    t.millisecond = static_cast<int>(ms - seconds * 1000);
    const std::int64_t days = FloorDiv(seconds, 86400);
    std::int64_t rest = seconds - days * 86400;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    rest %= 3600;
    t.minute = static_cast<int>(rest / 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

std::tm CalendarFields(const DateTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return tm;
}

std::string LongTimeText(const DateTime& t) {
    const std::tm tm = CalendarFields(t);
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%X", &tm);
    return std::string(buffer, n);
}

namespace {

DateTime FromTm(const std::tm& tm, int millisecond) {
    DateTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond = millisecond;
    return t;
}

DateTime Now(bool utc) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    if (utc) {
        gmtime_r(&seconds, &tm);
    } else {
        localtime_r(&seconds, &tm);
    }
    return FromTm(tm, static_cast<int>(ms));
}

}  // namespace

DateTime SystemClock::LocalNow() const { return Now(false); }
DateTime SystemClock::UtcNow() const { return Now(true); }

}  // namespace quorvel
