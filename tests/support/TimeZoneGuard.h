#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace pemtrox::test {

/// Sets the process's local time zone (TZ) for the life of the object.
class TimeZoneGuard {
public:
    explicit TimeZoneGuard(const std::string& zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        ::setenv("TZ", zone.c_str(), 1);
        ::tzset();
    }
    ~TimeZoneGuard() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    TimeZoneGuard(const TimeZoneGuard&) = delete;
    TimeZoneGuard& operator=(const TimeZoneGuard&) = delete;

private:
    std::optional<std::string> old_;
};

} // namespace pemtrox::test
