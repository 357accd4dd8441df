#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pemtrox {

class DispatchQueue;

/// The outcome of one host-name lookup.
struct HostResolution {
    enum class Failure {
        none,       ///< addresses found
        noResolver, ///< the asking queue's resolver could not be set up
        rejected,   ///< the resolver refused to start the lookup (errorCode, errorMessage)
        notFound,   ///< the lookup ran and found no address (errorCode, errorMessage)
        timedOut,   ///< no answer within the time limit
    };
    /// The numeric address texts (IPv6 with "%scope" where the address has one), in the
    /// resolver's order; empty when the lookup failed.
    std::vector<std::string> addresses;
    Failure failure = Failure::none;
    /// The resolver's error code (EAI_* for names refused before asking, else the c-ares
    /// status), 0 on success.
    int errorCode = 0;
    /// The resolver's text for errorCode; empty on success.
    std::string errorMessage;
};

/// One lookup in progress. cancel() drops it: called on the asking queue, the completion
/// never runs afterwards and is released at once (with what it holds); from elsewhere it is
/// released on the queue soon after. Dropping the handle does not cancel the lookup.
class HostLookup {
public:
    void cancel();
    bool isCancelled() const { return cancelled_; }

private:
    friend class HostResolver;
    std::atomic<bool> cancelled_{false};
    std::weak_ptr<DispatchQueue> queue_;
    std::uint64_t id_ = 0; // the queue's resolver's record of it; 0 for address literals
};

/// Host-name lookup on the asking queue's own event loop (c-ares, reading /etc/resolv.conf
/// and /etc/hosts): no thread blocks, each lookup has a time limit, and a name whose server
/// never answers holds up no other lookup.
class HostResolver {
public:
    using Completion = std::function<void(HostResolution)>;
    struct Settings {
        /// DNS servers as "address[:port],…"; empty: those of /etc/resolv.conf.
        std::string servers;
        /// The longest a lookup may take before it fails as timedOut.
        std::chrono::milliseconds timeLimit{10000};
    };
    /// The most answers each queue's resolver keeps for names asked again (for their time to
    /// live, a minute at most). An answer beyond it, with none expired, lets all the others go.
    static constexpr std::size_t answersKept = 1024;

    HostResolver() = delete;
    /// Starts a lookup. Failures to set it up (noResolver, rejected) complete at once, inside
    /// this call, when it is made on `queue`; everything else completes exactly once, later,
    /// on `queue`. An address literal answers without a lookup (later, on `queue`).
    static std::shared_ptr<HostLookup> resolve(std::string name, std::shared_ptr<DispatchQueue> queue,
                                               Completion completion);
    /// Settings for the resolvers that queues start from now on (each queue starts its own on
    /// its first lookup, and again after it failed to start).
    static void configure(Settings settings);
};

} // namespace pemtrox
