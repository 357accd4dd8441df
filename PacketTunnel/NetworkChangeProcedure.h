#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Reachability.h"

namespace pemtrox {

class DispatchQueue;

/// Keeps the tunnel's network settings current when the network changes. A run closes the
/// ICMP sockets, clears the tunnel settings, reads the system's DNS servers again, applies the
/// stored settings with them and opens the ICMP sockets again. A change that comes while a run
/// is under way waits for it to end, the newest replacing the one waiting, and then starts one
/// more run: so no change is lost between the check and the store, and at most one waits.
///
/// Everything runs on one queue (the provider's main queue): the platform answers on threads
/// of its choosing, and its answers are brought back to the queue.
class NetworkChangeProcedure : public std::enable_shared_from_this<NetworkChangeProcedure> {
public:
    /// What a run acts on: the provider's tunnel in the program, fakes in tests. Each is
    /// called on the queue.
    struct Steps {
        /// Asks the platform to clear the tunnel settings; the completion runs once, anywhere.
        std::function<void(std::function<void(ErrorPtr)>)> clearSettings;
        /// Asks the platform to apply the stored settings with these DNS servers; the
        /// completion runs once, anywhere.
        std::function<void(std::vector<std::string>, std::function<void(ErrorPtr)>)> renewSettings;
        /// The system's DNS servers as numeric address texts.
        std::function<std::vector<std::string>()> dnsServers;
        std::function<void()> invalidateICMPSockets;
        std::function<void()> rebindICMPSockets;
        /// True while a run is under way, false once the procedure is idle again.
        std::function<void(bool)> setReasserting;
    };

    static std::shared_ptr<NetworkChangeProcedure> make(Steps steps, std::shared_ptr<DispatchQueue> queue);

    /// A change was noticed: starts a run, or leaves the flags for the running one to take up.
    void networkChanged(ReachabilityFlags flags);
    /// The tunnel has gone: a run under way ends before its next step, without touching the
    /// platform or the sockets again, and later changes are ignored.
    void stop();
    /// Whether a run is under way.
    bool running() const { return running_; }
    /// "[a, b]": DNS servers as the log lines show them.
    static std::string dnsServersText(const std::vector<std::string>& servers);

    NetworkChangeProcedure(Steps steps, std::shared_ptr<DispatchQueue> queue);

private:
    void applyNetworkChange(ReachabilityFlags flags);
    void settingsCleared(ErrorPtr error);
    void settingsRenewed(ErrorPtr error);
    /// Takes up the change waiting, or ends the procedure.
    void nextNetworkChange();
    /// The completion of a platform request, run on the queue while the procedure lives.
    std::function<void(ErrorPtr)> onQueue(void (NetworkChangeProcedure::*step)(ErrorPtr));

    Steps steps_;
    std::shared_ptr<DispatchQueue> queue_;
    bool running_ = false;
    bool stopped_ = false;
    std::optional<ReachabilityFlags> networkChangedAgain_;
};

} // namespace pemtrox
