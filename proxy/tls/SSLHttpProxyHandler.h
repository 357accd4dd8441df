#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "proxy/engine/HttpProxyHandler.h"

namespace pemtrox {

class DispatchQueue;
class Identity;
class SSLContextFactory;
class SSLProxyServer;
class RemoteConnection;

/// The handler of the TLS-aware server: decides on each CONNECT whether it is intercepted;
/// an intercepted tunnel speaks TLS to the server and, once that handshake is over, the
/// server side of TLS to the client with a certificate minted from the server's, so that
/// the requests inside pass through the engine decrypted.
class SSLHttpProxyHandler : public HttpProxyHandler {
public:
    /// Present (true) on an intercepted CONNECT exchange, for the listeners.
    static constexpr const char* SSLProxied = "SSLHttpProxyHandler.SSLProxied";
    /// The note of a CONNECT that is not intercepted.
    static constexpr const char* notInterceptedNote =
        "SSL Proxying not enabled for this host: enable in Proxy Settings, SSL locations";

    static std::shared_ptr<SSLHttpProxyHandler> make(std::shared_ptr<SSLProxyServer> server,
                                                     std::shared_ptr<ProxyConnection> client);
    SSLHttpProxyHandler(std::shared_ptr<SSLProxyServer> server, std::shared_ptr<ProxyConnection> client);

    /// The server's certificate factory.
    const std::shared_ptr<SSLContextFactory>& contextFactory() const;

    /// The identity presented to the client: minted from the certificate the server presented
    /// on the connection's TLS socket, else for the host. Throws noRemoteCertificateOrHostname
    /// and the factory's errors.
    virtual std::shared_ptr<const Identity> clientIdentity(const RemoteConnection& remote,
                                                           const std::optional<std::string>& host);
    /// Runs the server side of TLS toward the client, over its plain socket (which it must
    /// have), with the identity and its chain; the completion runs once with the decrypted
    /// connection or the handshake's error.
    static void startSSLClientConnection(std::shared_ptr<ProxyConnection> client,
                                         std::shared_ptr<const Identity> identity,
                                         std::shared_ptr<DispatchQueue> queue,
                                         std::function<void(ProxyConnectionState)> completion);

protected:
    /// Asks the server whether the CONNECT is intercepted, marks the record (the mark or the
    /// note), and makes the tunnel with the answer.
    std::shared_ptr<ConnectTunnel> makeTunnel() override;

private:
    std::shared_ptr<SSLProxyServer> sslServer_;
};

} // namespace pemtrox
