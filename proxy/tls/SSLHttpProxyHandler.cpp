#include "proxy/tls/SSLHttpProxyHandler.h"

#include "platform/Identity.h"
#include "platform/TlsEngine.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/SSLRemoteConnection.h"
#include "proxy/io/SSLSocket.h"
#include "proxy/tls/SSLConnectTunnel.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLHttpProxyHandlerError.h"

namespace pemtrox {

std::shared_ptr<SSLHttpProxyHandler>
SSLHttpProxyHandler::make(std::shared_ptr<InternalProxyServer> server,
                          std::shared_ptr<SSLAwareProxyServer> interception,
                          std::shared_ptr<ProxyConnection> client) {
    return Plumber::make<SSLHttpProxyHandler>(std::move(server), std::move(interception), std::move(client));
}

SSLHttpProxyHandler::SSLHttpProxyHandler(std::shared_ptr<InternalProxyServer> server,
                                         std::shared_ptr<SSLAwareProxyServer> interception,
                                         std::shared_ptr<ProxyConnection> client)
    : HttpProxyHandler(std::move(server), std::move(client)), sslServer_(std::move(interception)) {}

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
    auto self = std::static_pointer_cast<SSLHttpProxyHandler>(shared_from_this());
    return SSLConnectTunnel::make(self, self, intercepted);
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

} // namespace pemtrox
