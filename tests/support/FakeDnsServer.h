#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace pemtrox::test {

/// A DNS server on 127.0.0.1 (UDP, port chosen by the system) for resolver tests: names in
/// `answers` get their IPv4 address (and an empty answer for other types), names in `silent`
/// get no answer at all, every other name gets NXDOMAIN. Answers live `timeToLive` seconds.
/// Counts the queries it saw.
class FakeDnsServer {
public:
    FakeDnsServer(std::map<std::string, std::string> answers, std::set<std::string> silent,
                  std::uint32_t timeToLive = 60);
    ~FakeDnsServer();
    FakeDnsServer(const FakeDnsServer&) = delete;
    FakeDnsServer& operator=(const FakeDnsServer&) = delete;
    /// "127.0.0.1:port", as a resolver's server list takes it.
    std::string address() const;
    int queries() const { return queries_; }
    /// The name's address from now on.
    void setAnswer(const std::string& name, const std::string& address);

private:
    void run();
    std::mutex mutex_;
    std::map<std::string, std::string> answers_;
    std::uint32_t timeToLive_;
    std::set<std::string> silent_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

} // namespace pemtrox::test
