#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "proxy/engine/ProxyServer.h"
#include "proxy/io/Data.h"
#include "proxy/io/SocketConnectionState.h"

namespace pemtrox {

class DispatchQueue;
class InetAddress;
class ProxyEvent;

/// A proxy server as its handlers, remote connections and copiers see it. Each notifier
/// stores its stage in the record and then tells the server's listeners; the three
/// request notifiers pass on the first listener error. Called on the server's queue.
class InternalProxyServer : public ProxyServer {
public:
    /// The serial queue of the server and all its sockets.
    virtual std::shared_ptr<DispatchQueue> queue() const = 0;
    /// Opens a connection towards a server: returns the socket at once; the completion
    /// reports connected or failed later, on the server's queue. The remote connection
    /// passes the exchange's scheme and host name along with the resolved address.
    virtual std::shared_ptr<Socket> openRemoteSocket(const std::optional<std::string>& scheme,
                                                     const InetAddress& address, const std::string& host,
                                                     int port, SocketConnectCallback completion) = 0;
    /// Why the server does not connect to this resolved address at all, or null (any address
    /// is dialled). Asked by the remote connection just before openRemoteSocket, so that a
    /// name, a spoofed host and a numeric target are judged by the address they reach.
    virtual ErrorPtr refusedDestination(const InetAddress&, int /*port*/) const { return nullptr; }

    virtual void notifyTransactionConnect(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyTransactionComplete(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyTransactionException(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// May throw a listener's Error.
    virtual void notifyReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// May throw a listener's Error.
    virtual void notifyReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) = 0;
    /// May throw a listener's Error.
    virtual void notifyReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifySentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data) = 0;
    virtual void notifyReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifySentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data) = 0;
    virtual void notifyReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyResolvingRemote(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt) = 0;
    virtual void notifyConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt) = 0;
};

} // namespace pemtrox
