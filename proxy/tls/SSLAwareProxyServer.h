#pragma once

namespace pemtrox {

class ProxyEvent;

/// A server that decides which CONNECT exchanges are intercepted.
class SSLAwareProxyServer {
public:
    virtual ~SSLAwareProxyServer() = default;
    /// Whether the CONNECT exchange is to be decrypted. Called on the server's queue.
    virtual bool isSSLProxied(const ProxyEvent& evt) = 0;
};

} // namespace pemtrox
