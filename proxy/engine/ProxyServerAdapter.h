#pragma once

#include "proxy/engine/ProxyServerListener.h"

namespace pemtrox {

/// The base of every listener: each callback does nothing, so a listener overrides only
/// the steps it cares about.
class ProxyServerAdapter : public ProxyServerListener {
public:
    void proxyListenerTransactionConnect(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerTransactionComplete(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerTransactionException(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerTransactionBlocked(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerTransactionCancelled(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>&, const Data&) override {}
    void proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>&, const Data&) override {}
    void proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerResolvingRemote(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>&) override {}
    void proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>&) override {}
};

} // namespace pemtrox
