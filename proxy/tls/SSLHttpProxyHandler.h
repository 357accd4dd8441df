#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "proxy/engine/HttpProxyHandler.h"
#include "proxy/tls/SSLAwareProxyServer.h"
#include "proxy/tls/SSLTunnelHandler.h"

namespace pemtrox {

class Identity;
class SSLContextFactory;
class RemoteConnection;

/// The handler of the TLS-aware server: decides on each CONNECT whether it is intercepted;
/// an intercepted tunnel speaks TLS to the server and, once that handshake is over, the
/// server side of TLS to the client with a certificate minted from the server's, so that
/// the requests inside pass through the engine decrypted.
class SSLHttpProxyHandler : public HttpProxyHandler, public SSLTunnelHandler {
public:
    /// Present (true) on an intercepted CONNECT exchange, for the listeners.
    static constexpr const char* SSLProxied = "SSLHttpProxyHandler.SSLProxied";
    /// The note of a CONNECT that is not intercepted.
    static constexpr const char* notInterceptedNote =
        "SSL Proxying not enabled for this host: enable in Proxy Settings, SSL locations";

    /// `server` and `interception` are the one server (an SSLProxyServer), as the engine
    /// and as the decider of interception.
    static std::shared_ptr<SSLHttpProxyHandler> make(std::shared_ptr<InternalProxyServer> server,
                                                     std::shared_ptr<SSLAwareProxyServer> interception,
                                                     std::shared_ptr<ProxyConnection> client);
    SSLHttpProxyHandler(std::shared_ptr<InternalProxyServer> server,
                        std::shared_ptr<SSLAwareProxyServer> interception,
                        std::shared_ptr<ProxyConnection> client);

    /// The server's certificate factory.
    const std::shared_ptr<SSLContextFactory>& contextFactory() const;

    std::shared_ptr<const Identity> clientIdentity(const RemoteConnection& remote,
                                                   const std::optional<std::string>& host) override;

protected:
    /// Asks the server whether the CONNECT is intercepted, marks the record (the mark or the
    /// note), and makes the tunnel with the answer.
    std::shared_ptr<ConnectTunnel> makeTunnel() override;

private:
    std::shared_ptr<SSLAwareProxyServer> sslServer_;
};

} // namespace pemtrox
