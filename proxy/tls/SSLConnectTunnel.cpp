#include "proxy/tls/SSLConnectTunnel.h"

#include "platform/TlsEngine.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/SSLRemoteConnection.h"
#include "proxy/engine/TunnelHandler.h"
#include "proxy/io/SSLSocket.h"
#include "proxy/io/SecureSocket.h"
#include "proxy/tls/SSLProxyConnection.h"
#include "proxy/tls/SSLTunnelHandler.h"

namespace pemtrox {

std::shared_ptr<SSLConnectTunnel> SSLConnectTunnel::make(std::shared_ptr<TunnelHandler> handler,
                                                         std::weak_ptr<SSLTunnelHandler> sslHandler,
                                                         bool intercepted) {
    return Plumber::make<SSLConnectTunnel>(std::move(handler), std::move(sslHandler), intercepted);
}

SSLConnectTunnel::SSLConnectTunnel(std::shared_ptr<TunnelHandler> handler,
                                   std::weak_ptr<SSLTunnelHandler> sslHandler, bool intercepted)
    : ConnectTunnel(std::move(handler)), sslHandler_(std::move(sslHandler)), intercepted_(intercepted) {}

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
    startSSLClientConnection(std::move(client), std::move(identity), server()->queue(), std::move(callback));
}

void SSLConnectTunnel::startSSLClientConnection(std::shared_ptr<ProxyConnection> client,
                                                std::shared_ptr<const Identity> identity,
                                                std::shared_ptr<DispatchQueue> queue,
                                                std::function<void(ProxyConnectionState)> completion) {
    auto socket = client->plainSocket();
    if (!socket) {
        completion(ProxyConnectionState::failed(makeError<ProxyHandlerError>(
            ProxyHandlerError::illegalState("The client connection cannot be upgraded to TLS"))));
        return;
    }
    TlsSettings settings;
    settings.isServer = true;
    settings.certificates = std::move(identity); // the leaf, then the CA as its chain
    struct Holder {
        std::shared_ptr<SSLSocket> socket;
        bool failedEarly = false;
    };
    // The TLS socket keeps this callback until the handshake ends, and so the holder.
    auto holder = std::make_shared<Holder>();
    auto handshakeCompleted = [holder, client,
                               completion = std::move(completion)](SocketConnectionState state) {
        if (!state.isConnected() || !holder->socket) {
            if (holder->socket)
                holder->socket->close();
            else
                holder->failedEarly = true;
            completion(ProxyConnectionState::failed(state.error()));
            return;
        }
        completion(ProxyConnectionState::connected(SSLProxyConnection::make(client, holder->socket)));
    };
    holder->socket = secureSocket(socket, std::move(queue), settings, std::move(handshakeCompleted));
    if (holder->failedEarly)
        holder->socket->close();
}

} // namespace pemtrox
