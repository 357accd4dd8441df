#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace pemtrox {

/// Warnings about intercepted servers whose certificate was refused. Without them only the
/// recording says why a site stopped working. Each host and reason is logged once per period,
/// and at most `capacity` of them per period: a client that retries, or a flood of hosts,
/// cannot fill the log. Servers on any queue share one; it takes its own lock.
class RefusedCertificateLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration defaultPeriod = std::chrono::minutes(10);
    static constexpr std::size_t defaultCapacity = 256;

    explicit RefusedCertificateLog(Clock::duration period = defaultPeriod,
                                   std::size_t capacity = defaultCapacity)
        : period_(period), capacity_(capacity) {}

    /// The one the servers report to.
    static RefusedCertificateLog& shared();

    /// Logs a warning for the host ("name:port") and reason unless that pair was logged within
    /// the period or the period's warnings are spent; answers whether it logged.
    bool report(const std::string& host, const std::string& reason, Clock::time_point now = Clock::now());

private:
    Clock::duration period_;
    std::size_t capacity_;
    std::mutex mutex_;
    /// When each pair was last logged; pairs older than the period go when room is needed.
    std::map<std::pair<std::string, std::string>, Clock::time_point> logged_;
};

} // namespace pemtrox
