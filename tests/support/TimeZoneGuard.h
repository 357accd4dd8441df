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
        set(zone.c_str());
    }
    ~TimeZoneGuard() { set(old_ ? old_->c_str() : nullptr); }

private:
    static void set(const char* zone) {
        zone ? ::setenv("TZ", zone, 1) : ::unsetenv("TZ");
        ::tzset();
    }
    std::optional<std::string> old_;
};

} // namespace pemtrox::test
