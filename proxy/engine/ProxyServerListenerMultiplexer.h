#pragma once

#include "proxy/engine/ListenerList.h"
#include "proxy/engine/ProxyServerListener.h"

namespace pemtrox {

/// Passes each callback to its listeners in list order. The three request callbacks stop
/// at the first listener that throws and throw its error on; the others reach every
/// listener. Each callback walks the list as it was when the callback began.
class ProxyServerListenerMultiplexer : public ProxyServerListener {
public:
    /// Filled by the owner (a subclass builds it from its settings).
    ListenerList listeners;

    void proxyListenerTransactionConnect(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerTransactionComplete(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerTransactionException(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerTransactionBlocked(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data) override;
    void proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt,
                                            const Data& data) override;
    void proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerResolvingRemote(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt) override;
};

} // namespace pemtrox
