#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "proxy/engine/SSLSettings.h"

namespace pemtrox {

class DispatchQueue;
class SSLCAGenerator;
class SSLContextFactory;
class SSLProxyServer;

/// Proxy mode: owns the TLS-aware proxy server that listens on the proxy port, with the
/// CA download, the TLS test host and logging, on its own queue "ProxyManager".
class ProxyManager {
public:
    static std::shared_ptr<ProxyManager> make();
    ~ProxyManager();

    /// The running server, once started (kept after a stop).
    std::shared_ptr<SSLProxyServer> socketProxyServer() const { return socketProxyServer_; }
    int httpProxyPort = 0;
    /// The interface to listen on; none means every interface.
    std::optional<std::string> interface;
    std::shared_ptr<SSLContextFactory> sslContextFactory;
    std::shared_ptr<SSLCAGenerator> sslCAGenerator;
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

    const SSLSettings& sslSettings() const { return *sslSettings_; }
    /// Keeps the settings (a section of the settings snapshot) and hands them, whole, to the
    /// running server.
    void setSslSettings(std::shared_ptr<const SSLSettings> settings);

    /// Makes the server (its CA ready), adds the built-in listeners and listens. Throws
    /// the listening error; the server then stays, not listening.
    void start();
    /// Why the last start does not listen; none after a start that listens (and before any).
    const ErrorPtr& startError() const { return startError_; }
    /// Stops listening, then cancels the running exchanges. Throws when listening cannot
    /// be stopped.
    void stop();

private:
    ProxyManager();
    std::shared_ptr<SSLProxyServer> socketProxyServer_;
    std::shared_ptr<const SSLSettings> sslSettings_ = std::make_shared<const SSLSettings>();
    ErrorPtr startError_;
    std::shared_ptr<DispatchQueue> queue_;
};

} // namespace pemtrox
