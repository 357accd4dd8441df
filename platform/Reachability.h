#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace pemtrox {

class DispatchQueue;
class RepeatingTimer;
class Rtnetlink;

/// A set of reachability flags (bit numbers as the system's flag set has them).
using ReachabilityFlags = std::uint32_t;
namespace reachabilityFlag {
constexpr ReachabilityFlags transientConnection = 1u << 0;
constexpr ReachabilityFlags reachable = 1u << 1;
constexpr ReachabilityFlags connectionRequired = 1u << 2;
constexpr ReachabilityFlags connectionOnTraffic = 1u << 3; // also "Connection automatic"
constexpr ReachabilityFlags interventionRequired = 1u << 4;
constexpr ReachabilityFlags connectionOnDemand = 1u << 5;
constexpr ReachabilityFlags isLocalAddress = 1u << 16;
constexpr ReachabilityFlags isDirect = 1u << 17;
constexpr ReachabilityFlags isWWAN = 1u << 18;
} // namespace reachabilityFlag

/// The names of the set flags in their fixed order, joined by ", "; "" for none.
std::string reachabilityFlagsText(ReachabilityFlags flags);

class ReachabilityError : public ErrorBase<ReachabilityError> {
public:
    enum Case { createFailed, startFailed, stopFailed, getFlagsFailed };
    explicit ReachabilityError(Case which) : which(which) {}
    std::string description() const override;
    Case which;
};

/// Watches the network of the namespace it was made in (links, addresses and routes, over
/// rtnetlink) and tells its observers, on the main queue, when the default route or the
/// flags derived from it change. Bursts of events are taken together: the state is read
/// once the events have paused for the debounce interval.
///
/// Linux has no reachability flags of its own; they are made up from the default routes
/// of the main table (IPv4 before IPv6, the lowest metric first):
/// - "Reachable" while any default route exists;
/// - "Is direct" when the first default route has no gateway (the link itself is the path);
/// - "Transient connection" when its link is point-to-point (a PPP link or another VPN).
/// No other flag is ever set. The state at start() is the baseline and is not reported.
class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Observer = std::function<void(ReachabilityFlags)>;

    /// Opens the monitor in the calling thread's namespace. Throws ReachabilityError
    /// (createFailed).
    static std::shared_ptr<Reachability>
    make(std::chrono::milliseconds debounce = std::chrono::milliseconds(300));
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    /// Reads the current state and begins watching. Throws ReachabilityError (startFailed).
    void start();
    /// Events of this link are ignored and its routes do not count (the tunnel's device).
    void ignoreInterface(int index);
    /// Registers an observer, called on the main queue with each change's flags for as
    /// long as the returned token is held.
    std::shared_ptr<void> addObserver(Observer observer);
    /// The flags of the last state read.
    ReachabilityFlags flags() const;

private:
    struct Watch;
    Reachability() = default;
    void waitForEvents();
    void readEvents();
    /// Reads the default routes; tells the observers of a change when reporting.
    void settle(bool report);

    std::shared_ptr<DispatchQueue> queue_;
    std::unique_ptr<Rtnetlink> requests_;
    std::unique_ptr<Watch> watch_;
    std::chrono::milliseconds debounce_{};
    std::shared_ptr<RepeatingTimer> timer_; // on the queue

    mutable std::mutex mutex_;
    std::set<int> ignored_;                          // guarded
    std::vector<std::weak_ptr<Observer>> observers_; // guarded
    ReachabilityFlags flags_ = 0;                    // guarded
    std::string routes_;                             // on the queue: the last state's routes
};

} // namespace pemtrox
