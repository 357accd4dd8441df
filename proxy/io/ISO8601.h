#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace pemtrox {

using Date = std::chrono::system_clock::time_point;

/// A fixed offset from UTC.
struct TimeZone {
    std::chrono::seconds offset{0};
    static TimeZone utc() { return {}; }
};

/// "yyyy-MM-dd'T'HH:mm:ss.SSS" and the zone as "+hh:mm", or "Z" for UTC. Without a zone
/// the machine's local time zone is used.
std::string ISO8601String(Date date, std::optional<TimeZone> zone = std::nullopt);
/// Parses the form above (the zone also as "+hhmm"); absent when the text does not fit.
std::optional<Date> dateFromISO8601String(std::string_view text);

} // namespace pemtrox
