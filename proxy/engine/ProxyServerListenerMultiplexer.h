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

    using Evt = std::shared_ptr<ProxyEvent>;
    using L = ProxyServerListener;
    // clang-format off
    void proxyListenerTransactionConnect(const Evt& e) override { tell<&L::proxyListenerTransactionConnect>(e); }
    void proxyListenerTransactionComplete(const Evt& e) override { tell<&L::proxyListenerTransactionComplete>(e); }
    void proxyListenerTransactionException(const Evt& e) override { tell<&L::proxyListenerTransactionException>(e); }
    void proxyListenerTransactionBlocked(const Evt& e) override { tell<&L::proxyListenerTransactionBlocked>(e); }
    void proxyListenerTransactionCancelled(const Evt& e) override { tell<&L::proxyListenerTransactionCancelled>(e); }
    void proxyListenerReceivedRequestAddress(const Evt& e) override { tell<&L::proxyListenerReceivedRequestAddress>(e); }
    void proxyListenerReceivedRequestURL(const Evt& e) override { tell<&L::proxyListenerReceivedRequestURL>(e); }
    void proxyListenerReceivedRequestHeader(const Evt& e) override { tell<&L::proxyListenerReceivedRequestHeader>(e); }
    void proxyListenerSentRequestHeader(const Evt& e) override { tell<&L::proxyListenerSentRequestHeader>(e); }
    void proxyListenerReceivedRequest(const Evt& e) override { tell<&L::proxyListenerReceivedRequest>(e); }
    void proxyListenerReceivingRequestBody(const Evt& e, const Data& d) override { tell<&L::proxyListenerReceivingRequestBody>(e, d); }
    void proxyListenerReceivedResponseHeader(const Evt& e) override { tell<&L::proxyListenerReceivedResponseHeader>(e); }
    void proxyListenerSentResponseHeader(const Evt& e) override { tell<&L::proxyListenerSentResponseHeader>(e); }
    void proxyListenerReceivingResponseBody(const Evt& e, const Data& d) override { tell<&L::proxyListenerReceivingResponseBody>(e, d); }
    void proxyListenerReceivedResponse(const Evt& e) override { tell<&L::proxyListenerReceivedResponse>(e); }
    void proxyListenerResolvingRemote(const Evt& e) override { tell<&L::proxyListenerResolvingRemote>(e); }
    void proxyListenerConnectingToRemote(const Evt& e) override { tell<&L::proxyListenerConnectingToRemote>(e); }
    void proxyListenerConnectedToRemote(const Evt& e) override { tell<&L::proxyListenerConnectedToRemote>(e); }
    // clang-format on

private:
    template <auto step, class... Args> void tell(const Args&... args) { listeners.tell<step>(args...); }
};

} // namespace pemtrox
