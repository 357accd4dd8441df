#pragma once

#include <memory>

#include "proxy/engine/ConnectTunnel.h"
#include "proxy/engine/RemoteConnectionState.h"

namespace pemtrox {

class DispatchQueue;
class Identity;
class SSLTunnelHandler;

/// The tunnel of a CONNECT on a TLS-aware server. Intercepted, every connection it opens to
/// the server is a TLS one, the first and any reconnection alike (the requests inside copy
/// no attributes from the CONNECT), and the client is upgraded to TLS once the server's
/// handshake is over; a connection that runs no TLS (a port-80 target, a listener's own)
/// leaves the client as it is.
class SSLConnectTunnel : public ConnectTunnel {
public:
    /// `handler` and `sslHandler` are the one handler (an SSLHttpProxyHandler), as every
    /// tunnel's and as an intercepting tunnel's.
    static std::shared_ptr<SSLConnectTunnel> make(std::shared_ptr<TunnelHandler> handler,
                                                  std::weak_ptr<SSLTunnelHandler> sslHandler,
                                                  bool intercepted);
    SSLConnectTunnel(std::shared_ptr<TunnelHandler> handler, std::weak_ptr<SSLTunnelHandler> sslHandler,
                     bool intercepted);

    bool intercepted() const { return intercepted_; }

    /// Runs the server side of TLS toward the client, over its plain socket (which it must
    /// have), with the identity and its chain; the completion runs once with the decrypted
    /// connection or the handshake's error.
    static void startSSLClientConnection(std::shared_ptr<ProxyConnection> client,
                                         std::shared_ptr<const Identity> identity,
                                         std::shared_ptr<DispatchQueue> queue,
                                         std::function<void(ProxyConnectionState)> completion);

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
    std::weak_ptr<SSLTunnelHandler> sslHandler_;
    bool intercepted_;
};

} // namespace pemtrox
