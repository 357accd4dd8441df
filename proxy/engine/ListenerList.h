#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/Error.h"
#include "platform/Log.h"
#include "proxy/engine/ProxyServerListener.h"

namespace pemtrox {

/// The steps whose listeners may stop the exchange by throwing: the request's address, URL
/// and header. Every other step must not throw.
template <auto step> inline constexpr bool stepMayThrow = false;
template <>
inline constexpr bool stepMayThrow<&ProxyServerListener::proxyListenerReceivedRequestAddress> = true;
template <> inline constexpr bool stepMayThrow<&ProxyServerListener::proxyListenerReceivedRequestURL> = true;
template <>
inline constexpr bool stepMayThrow<&ProxyServerListener::proxyListenerReceivedRequestHeader> = true;

/// A list of listeners that may be changed from any thread while it is walked on another:
/// each change swaps in a new immutable vector under the lock, and each walk works on the
/// vector it took at its start. Membership is by identity; the walk order is the order of
/// adding.
class ListenerList {
public:
    using Listener = std::shared_ptr<ProxyServerListener>;
    using Snapshot = std::shared_ptr<const std::vector<Listener>>;

    ListenerList() : listeners_(std::make_shared<const std::vector<Listener>>()) {}

    Snapshot snapshot() const {
        std::lock_guard lock(mutex_);
        return listeners_;
    }
    /// Replaces the whole list (duplicates kept as given).
    void assign(std::vector<Listener> listeners) {
        auto next = std::make_shared<const std::vector<Listener>>(std::move(listeners));
        std::lock_guard lock(mutex_);
        listeners_ = std::move(next);
    }
    /// Adds a listener that is not there yet.
    void add(const Listener& listener);
    /// Removes a listener; an absent one is ignored.
    void remove(const Listener& listener);

    /// Calls the callback `step` (a member of ProxyServerListener) with the arguments on each
    /// listener of a snapshot, by that step's rule: a step that may throw ends the walk at the
    /// first throw and passes it on; any other step reaches every listener.
    template <auto step, class... Args> void tell(const Args&... args) const {
        auto call = [&](ProxyServerListener& listener) { (listener.*step)(args...); };
        if constexpr (stepMayThrow<step>)
            forEachUntilThrow(call);
        else
            forEach(call);
    }

    /// Calls `call` on each listener of a snapshot. For the steps that may not fail, a
    /// listener that throws anyway is logged and the walk goes on.
    template <class Call> void forEach(Call&& call) const {
        auto listeners = snapshot();
        for (auto& listener : *listeners) {
            try {
                call(*listener);
            } catch (...) {
                LOG_WARNING("Listener failed in a step that cannot fail: {}", describe(currentError()));
            }
        }
    }
    /// Calls `call` on each listener of a snapshot; the first throw ends the walk and
    /// reaches the caller.
    template <class Call> void forEachUntilThrow(Call&& call) const {
        auto listeners = snapshot();
        for (auto& listener : *listeners)
            call(*listener);
    }

private:
    mutable std::mutex mutex_;
    Snapshot listeners_;
};

} // namespace pemtrox
