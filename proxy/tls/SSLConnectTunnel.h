#pragma once

#include <memory>

#include "proxy/engine/ConnectTunnel.h"
#include "proxy/engine/RemoteConnectionState.h"

namespace pemtrox {

class SSLHttpProxyHandler;

/// The tunnel of a CONNECT on a TLS-aware server. Intercepted, every connection it opens to
/// the server is a TLS one, the first and any reconnection alike (the requests inside copy
/// no attributes from the CONNECT), and the client is upgraded to TLS once the server's
/// handshake is over; a connection that runs no TLS (a port-80 target, a listener's own)
/// leaves the client as it is.
class SSLConnectTunnel : public ConnectTunnel {
public:
    static std::shared_ptr<SSLConnectTunnel> make(std::shared_ptr<SSLHttpProxyHandler> handler,
                                                  bool intercepted);
    SSLConnectTunnel(std::shared_ptr<SSLHttpProxyHandler> handler, bool intercepted);

    bool intercepted() const { return intercepted_; }

protected:
    std::shared_ptr<RemoteConnection> makeConnectRemoteConnection(std::shared_ptr<InternalProxyServer> server,
                                                                  std::shared_ptr<ProxyEvent> evt) override;
    void wrapClient(std::shared_ptr<RemoteConnection> remote, std::shared_ptr<ProxyEvent> evt,
                    std::shared_ptr<ProxyConnection> client,
                    std::function<void(ProxyConnectionState)> callback) override;

private:
    void upgradeClientConnection(const RemoteConnectionState& state, std::shared_ptr<RemoteConnection> remote,
                                 std::shared_ptr<ProxyEvent> evt, std::shared_ptr<ProxyConnection> client,
                                 std::function<void(ProxyConnectionState)> callback);
    std::weak_ptr<SSLHttpProxyHandler> sslHandler_;
    bool intercepted_;
};

} // namespace pemtrox
