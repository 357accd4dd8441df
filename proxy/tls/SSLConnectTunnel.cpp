#include "proxy/tls/SSLConnectTunnel.h"

#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/SSLRemoteConnection.h"
#include "proxy/tls/SSLHttpProxyHandler.h"

namespace pemtrox {

std::shared_ptr<SSLConnectTunnel> SSLConnectTunnel::make(std::shared_ptr<SSLHttpProxyHandler> handler,
                                                         bool intercepted) {
    return Plumber::make<SSLConnectTunnel>(std::move(handler), intercepted);
}

SSLConnectTunnel::SSLConnectTunnel(std::shared_ptr<SSLHttpProxyHandler> handler, bool intercepted)
    : ConnectTunnel(handler), sslHandler_(handler), intercepted_(intercepted) {}

std::shared_ptr<RemoteConnection>
SSLConnectTunnel::makeConnectRemoteConnection(std::shared_ptr<InternalProxyServer> server,
                                              std::shared_ptr<ProxyEvent> evt) {
    if (intercepted_)
        return SSLRemoteConnection::make(std::move(server), std::move(evt));
    return ConnectTunnel::makeConnectRemoteConnection(std::move(server), std::move(evt));
}

void SSLConnectTunnel::wrapClient(std::shared_ptr<RemoteConnection> remote, std::shared_ptr<ProxyEvent> evt,
                                  std::shared_ptr<ProxyConnection> client,
                                  std::function<void(ProxyConnectionState)> callback) {
    // Without TLS toward the server (a listener's connection, or a port-80 target such as
    // ws://) there is no TLS to expect from the client either.
    if (!intercepted_ || !remote || !remote->runsTls()) {
        callback(ProxyConnectionState::connected(std::move(client)));
        return;
    }
    std::weak_ptr<SSLConnectTunnel> weak = std::static_pointer_cast<SSLConnectTunnel>(shared_from_this());
    std::weak_ptr<RemoteConnection> weakRemote = remote;
    remote->whenHandshakeEnds([weak, weakRemote, evt, client, callback](RemoteConnectionState state) {
        auto self = weak.lock();
        auto remote = weakRemote.lock();
        if (self && remote)
            self->upgradeClientConnection(state, remote, evt, client, callback);
    });
}

void SSLConnectTunnel::upgradeClientConnection(const RemoteConnectionState& state,
                                               std::shared_ptr<RemoteConnection> remote,
                                               std::shared_ptr<ProxyEvent> evt,
                                               std::shared_ptr<ProxyConnection> client,
                                               std::function<void(ProxyConnectionState)> callback) {
    if (ended())
        return;
    if (!state.isConnected()) {
        callback(ProxyConnectionState::failed(state.error()));
        return;
    }
    auto handler = sslHandler_.lock();
    // TLS starts over the client's own socket, never over a layer already running on it.
    if (!handler || !client->plainSocket()) {
        callback(ProxyConnectionState::failed(makeError<ProxyHandlerError>(
            ProxyHandlerError::illegalState("The client connection cannot be upgraded to TLS"))));
        return;
    }
    std::shared_ptr<const Identity> identity;
    try {
        identity = handler->clientIdentity(*remote, evt->originalHost);
    } catch (...) {
        callback(ProxyConnectionState::failed(currentError()));
        return;
    }
    SSLHttpProxyHandler::startSSLClientConnection(std::move(client), std::move(identity),
                                                  handler->server()->queue(), std::move(callback));
}

} // namespace pemtrox
