#pragma once

#include <memory>

#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ListenerList.h"

namespace pemtrox {

/// The listener set of a server, its fan-outs and its notifiers. The set may be changed
/// from any thread; each fan-out walks the set as it was when the fan-out began, so a
/// listener may add or remove listeners from inside a callback.
///
/// The fan-outs (proxyListener...) tell the listeners without touching the record's
/// stage, for servers that set the stage themselves.
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

    void proxyListenerTransactionConnect(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerTransactionComplete(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerTransactionException(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data);
    void proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data);
    void proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerResolvingRemote(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt);
    void proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt);

private:
    ListenerList listeners_;
};

} // namespace pemtrox
