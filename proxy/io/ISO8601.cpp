#include "proxy/io/ISO8601.h"

#include <cstdio>
#include <ctime>

#include <fmt/format.h>

namespace pemtrox {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

} // namespace

std::string ISO8601String(Date date, std::optional<TimeZone> zone) {
    auto sinceEpoch = date.time_since_epoch();
    auto secs = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - secs).count();
    std::time_t t = secs.count();
    std::tm tm{};
    long offset;
    if (zone) {
        offset = static_cast<long>(zone->offset.count());
        std::time_t shifted = t + offset;
        gmtime_r(&shifted, &tm);
    } else {
        localtime_r(&t, &tm);
        offset = tm.tm_gmtoff;
    }
    std::string text = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}", tm.tm_year + 1900, tm.tm_mon + 1,
                                   tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    if (offset == 0)
        return text + "Z";
    char sign = offset < 0 ? '-' : '+';
    long magnitude = offset < 0 ? -offset : offset;
    return text + fmt::format("{}{:02}:{:02}", sign, magnitude / 3600, (magnitude % 3600) / 60);
}

std::optional<Date> dateFromISO8601String(std::string_view text) {
    int y, mo, d, h, mi, s, ms, consumed = 0;
    std::string str(text);
    if (std::sscanf(str.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%n", &y, &mo, &d, &h, &mi, &s, &ms, &consumed) != 7 ||
        consumed != 23)
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return std::nullopt;
    std::string_view z = text.substr(23);
    long offset = 0;
    if (z == "Z") {
        offset = 0;
    } else if ((z.size() == 5 || z.size() == 6) && (z[0] == '+' || z[0] == '-')) {
        std::string digits;
        for (char c : z.substr(1))
            if (c != ':')
                digits += c;
        if (digits.size() != 4 || digits.find_first_not_of("0123456789") != std::string::npos ||
            (z.size() == 6 && z[3] != ':'))
            return std::nullopt;
        offset = std::stol(digits.substr(0, 2)) * 3600 + std::stol(digits.substr(2)) * 60;
        if (z[0] == '-')
            offset = -offset;
    } else {
        return std::nullopt;
    }
    long long seconds = daysFromCivil(y, mo, d) * 86400LL + h * 3600LL + mi * 60LL + s - offset;
    return Date(std::chrono::seconds(seconds)) + std::chrono::milliseconds(ms);
}

} // namespace pemtrox
