#include "PacketTunnel/NetworkChangeProcedure.h"

#include <utility>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace pemtrox {

std::shared_ptr<NetworkChangeProcedure> NetworkChangeProcedure::make(Steps steps,
                                                                     std::shared_ptr<DispatchQueue> queue) {
    return std::make_shared<NetworkChangeProcedure>(std::move(steps), std::move(queue));
}

NetworkChangeProcedure::NetworkChangeProcedure(Steps steps, std::shared_ptr<DispatchQueue> queue)
    : steps_(std::move(steps)), queue_(std::move(queue)) {}

std::string NetworkChangeProcedure::dnsServersText(const std::vector<std::string>& servers) {
    std::string out;
    for (const auto& server : servers)
        out += (out.empty() ? "" : ", ") + server;
    return "[" + out + "]";
}

void NetworkChangeProcedure::networkChanged(ReachabilityFlags flags) {
    if (stopped_)
        return;
    if (running_) {
        networkChangedAgain_ = flags;
        return;
    }
    running_ = true;
    steps_.setReasserting(true);
    applyNetworkChange(flags);
}

void NetworkChangeProcedure::stop() {
    stopped_ = true;
    networkChangedAgain_.reset();
}

std::function<void(ErrorPtr)>
NetworkChangeProcedure::onQueue(void (NetworkChangeProcedure::*step)(ErrorPtr)) {
    std::weak_ptr<NetworkChangeProcedure> weak = weak_from_this();
    return [weak, queue = queue_, step](ErrorPtr error) {
        auto next = [weak, step, error] {
            if (auto self = weak.lock())
                ((*self).*step)(error);
        };
        // An answer that comes on the queue is taken up at once, before work queued behind it.
        if (queue->isCurrent())
            next();
        else
            queue->async(std::move(next));
    };
}

void NetworkChangeProcedure::applyNetworkChange(ReachabilityFlags flags) {
    steps_.invalidateICMPSockets();
    LOG_INFO("Network changed {}. Clearing current network settings...", reachabilityFlagsText(flags));
    steps_.clearSettings(onQueue(&NetworkChangeProcedure::settingsCleared));
}

void NetworkChangeProcedure::settingsCleared(ErrorPtr error) {
    if (stopped_) {
        nextNetworkChange();
        return;
    }
    if (error) {
        // The sockets were closed for this run: pings would be dropped until some later
        // change opened them again.
        steps_.rebindICMPSockets();
        nextNetworkChange();
        return;
    }
    auto servers = steps_.dnsServers();
    LOG_INFO("Network changed. Updating DNS servers to {}", dnsServersText(servers));
    steps_.renewSettings(std::move(servers), onQueue(&NetworkChangeProcedure::settingsRenewed));
}

void NetworkChangeProcedure::settingsRenewed(ErrorPtr) {
    if (!stopped_)
        steps_.rebindICMPSockets();
    nextNetworkChange();
}

void NetworkChangeProcedure::nextNetworkChange() {
    if (networkChangedAgain_ && !stopped_) {
        applyNetworkChange(*std::exchange(networkChangedAgain_, std::nullopt));
        return;
    }
    networkChangedAgain_.reset();
    running_ = false;
    steps_.setReasserting(false);
}

} // namespace pemtrox
