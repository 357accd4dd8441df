#pragma once

#include <memory>

#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ListenerList.h"

namespace pemtrox {

/// The listener set of a server, its fan-outs and its notifiers. The set may be changed
/// from any thread; each fan-out walks the set as it was when the fan-out began, so a
/// listener may add or remove listeners from inside a callback.
///
/// Each notifier stores its stage in the record (two header steps leave it as it is) and
/// then runs the fan-out of its callback.
class AbstractProxyServer : public InternalProxyServer,
                            public std::enable_shared_from_this<AbstractProxyServer> {
public:
    void addProxyListener(const std::shared_ptr<ProxyServerListener>& listener) override;
    void removeProxyListener(const std::shared_ptr<ProxyServerListener>& listener) override;

    void notifyTransactionConnect(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyTransactionComplete(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyTransactionException(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifySentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data) override;
    void notifyReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifySentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data) override;
    void notifyReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyResolvingRemote(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt) override;
    void notifyConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt) override;

    /// The fan-out of one callback (a member of ProxyServerListener) with its arguments, by
    /// that step's throwing rule, for servers that set the record's stage themselves.
    template <auto step, class... Args> void fanOut(const Args&... args) const {
        listeners_.tell<step>(args...);
    }

private:
    ListenerList listeners_;
};

} // namespace pemtrox
