#pragma once

#include <memory>

namespace pemtrox {

class ProxyEvent;
class SSLContextFactory;

/// A server that decides which CONNECT exchanges are intercepted, and mints the certificates
/// its handlers show the clients of those (what SSLHttpProxyHandler needs of its server).
class SSLAwareProxyServer {
public:
    virtual ~SSLAwareProxyServer() = default;
    /// Whether the CONNECT exchange is to be decrypted. Called on the server's queue.
    virtual bool isSSLProxied(const ProxyEvent& evt) = 0;
    /// The certificate factory.
    virtual const std::shared_ptr<SSLContextFactory>& contextFactory() const = 0;
};

} // namespace pemtrox
