#pragma once

#include <memory>

#include "proxy/io/Data.h"

namespace pemtrox {

class ProxyEvent;

/// What a proxy server tells its listeners, one callback per step of an exchange. Each
/// callback runs on the queue of the code that notifies (the server's queue), with the
/// exchange record that the listener may read and change.
///
/// Only the three request callbacks (address, URL, header) may throw; a throw there ends
/// the exchange (error reply or closed connection) and the listeners after the thrower
/// are not told of that step. The other callbacks must not throw.
class ProxyServerListener {
public:
    virtual ~ProxyServerListener() = default;

    virtual void proxyListenerTransactionConnect(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerTransactionComplete(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerTransactionException(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// Part of the protocol, but no server ever calls it.
    virtual void proxyListenerTransactionBlocked(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// May throw an Error to stop the exchange.
    virtual void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// May throw an Error to stop the exchange.
    virtual void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// May throw an Error to stop the exchange.
    virtual void proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// The piece of request body just passed on; valid only during the call.
    virtual void proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt,
                                                   const Data& data) = 0;
    virtual void proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// The piece of response body just passed on; valid only during the call.
    virtual void proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt,
                                                    const Data& data) = 0;
    virtual void proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerResolvingRemote(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt) = 0;
};

} // namespace pemtrox
