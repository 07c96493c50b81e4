#include "start_time.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace quorvel::tools {

bool ParseStartTime(const std::string& text, DateTime& t, std::int64_t& offsetMinutes) {
    int n = 0;
    char sep = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &t.year, &t.month, &t.day, &sep, &t.hour, &t.minute,
                    &t.second, &n) != 7 ||
        (sep != 'T' && sep != ' '))
        return false;
    std::string rest = text.substr(static_cast<std::size_t>(n));
    if (!rest.empty() && rest[0] == '.') {
        std::size_t k = 1;
        int ms = 0, digits = 0;
        while (k < rest.size() && std::isdigit(static_cast<unsigned char>(rest[k]))) {
            if (digits < 3) ms = ms * 10 + (rest[k] - '0'), ++digits;
            ++k;
        }
        while (digits++ < 3) ms *= 10;
        t.millisecond = ms;
        rest = rest.substr(k);
    }
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 60)
        return false;
    if (rest == "Z") {
        offsetMinutes = 0;
    } else if (!rest.empty()) {
        int h = 0, m = 0;
        char sign = 0;
        if (std::sscanf(rest.c_str(), "%c%2d:%2d", &sign, &h, &m) < 2 || (sign != '+' && sign != '-')) return false;
        offsetMinutes = (sign == '-' ? -1 : 1) * (h * 60 + m);
    } else {
        std::tm tm = CalendarFields(t);
        const std::time_t when = std::mktime(&tm);
        std::tm utc{};
        gmtime_r(&when, &utc);
        const DateTime u{utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, 0};
        DateTime l = t;
        l.millisecond = 0;
        offsetMinutes = (CivilMilliseconds(l) - CivilMilliseconds(u)) / 60000;
    }
    return true;
}

}  // namespace quorvel::tools
