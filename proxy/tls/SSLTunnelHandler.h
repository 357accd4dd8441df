#pragma once

#include <memory>
#include <optional>
#include <string>

namespace pemtrox {

class Identity;
class RemoteConnection;

/// What an intercepting tunnel (SSLConnectTunnel) needs of its handler besides the
/// TunnelHandler steps: the identity it shows the client. SSLHttpProxyHandler is one.
class SSLTunnelHandler {
public:
    virtual ~SSLTunnelHandler() = default;
    /// The identity presented to the client: minted from the certificate the server presented
    /// on the connection's TLS socket, else for the host. Throws noRemoteCertificateOrHostname
    /// and the certificate factory's errors.
    virtual std::shared_ptr<const Identity> clientIdentity(const RemoteConnection& remote,
                                                           const std::optional<std::string>& host) = 0;
};

} // namespace pemtrox
