#include "proxy/tls/SSLHttpProxyHandler.h"

#include "platform/Identity.h"
#include "platform/TlsEngine.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/SSLRemoteConnection.h"
#include "proxy/io/SSLSocket.h"
#include "proxy/io/SecureSocket.h"
#include "proxy/tls/SSLConnectTunnel.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLHttpProxyHandlerError.h"
#include "proxy/tls/SSLProxyConnection.h"
#include "proxy/tls/SSLProxyServer.h"

namespace pemtrox {

std::shared_ptr<SSLHttpProxyHandler> SSLHttpProxyHandler::make(std::shared_ptr<SSLProxyServer> server,
                                                               std::shared_ptr<ProxyConnection> client) {
    return Plumber::make<SSLHttpProxyHandler>(std::move(server), std::move(client));
}

SSLHttpProxyHandler::SSLHttpProxyHandler(std::shared_ptr<SSLProxyServer> server,
                                         std::shared_ptr<ProxyConnection> client)
    : HttpProxyHandler(server, std::move(client)), sslServer_(std::move(server)) {}

const std::shared_ptr<SSLContextFactory>& SSLHttpProxyHandler::contextFactory() const {
    return sslServer_->contextFactory();
}

std::shared_ptr<ConnectTunnel> SSLHttpProxyHandler::makeTunnel() {
    // Decided once, here: the tunnel goes by this value. The mark stays on the record for
    // the listeners.
    bool intercepted = sslServer_->isSSLProxied(*evt());
    if (intercepted)
        evt()->attributes[SSLProxied] = true;
    else
        evt()->addToListAttribute(ProxyEvent::NotesAttribute, notInterceptedNote);
    return SSLConnectTunnel::make(std::static_pointer_cast<SSLHttpProxyHandler>(shared_from_this()),
                                  intercepted);
}

std::shared_ptr<const Identity> SSLHttpProxyHandler::clientIdentity(const RemoteConnection& remote,
                                                                    const std::optional<std::string>& host) {
    std::vector<Data> certificates;
    if (auto socket = remote.tlsSocket()) {
        if (auto peer = socket->peerCertificates())
            certificates = *peer;
        else
            socket->withSSLContext([&](TlsEngine& engine) { certificates = engine.peerCertificates(); });
    }
    if (!certificates.empty())
        return contextFactory()->identityForCertificate(certificates.front(), host);
    if (host)
        return contextFactory()->identityForHost(*host);
    throw SSLHttpProxyHandlerError::noRemoteCertificateOrHostname();
}

void SSLHttpProxyHandler::startSSLClientConnection(std::shared_ptr<ProxyConnection> client,
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
