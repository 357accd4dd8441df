#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "proxy/engine/SSLSettings.h"
#include "proxy/engine/SocketProxyServer.h"
#include "proxy/tls/SSLAwareProxyServer.h"

namespace pemtrox {

class SSLCAGenerator;
class SSLContextFactory;

/// The proxy server that can intercept TLS: it loads or builds the interception CA when it
/// is made, hands it to its certificate factory, makes an SSLHttpProxyHandler per client
/// and decides for each CONNECT whether it is intercepted.
class SSLProxyServer : public SocketProxyServer, public SSLAwareProxyServer {
public:
    /// Without a factory or CA, new ones (the CA in the app group container). The CA is
    /// settled before this returns; failing to build one is fatal.
    static std::shared_ptr<SSLProxyServer> make(SSLSettings settings, std::shared_ptr<DispatchQueue> queue,
                                                std::shared_ptr<SSLContextFactory> contextFactory = nullptr,
                                                std::shared_ptr<SSLCAGenerator> ca = nullptr);
    /// The settings are kept as given (a section of the settings snapshot), never copied.
    SSLProxyServer(std::shared_ptr<const SSLSettings> settings, std::shared_ptr<DispatchQueue> queue,
                   std::shared_ptr<SSLContextFactory> contextFactory, std::shared_ptr<SSLCAGenerator> ca);
    ~SSLProxyServer() override;

    /// The current settings; replaced whole, from any thread, so a decision sees one value.
    std::shared_ptr<const SSLSettings> settings() const { return settings_.load(); }
    void setSettings(SSLSettings settings);
    void setSettings(std::shared_ptr<const SSLSettings> settings);

    const std::shared_ptr<SSLContextFactory>& contextFactory() const override { return contextFactory_; }
    const std::shared_ptr<SSLCAGenerator>& ca() const { return ca_; }

    /// interceptsConnect for the CONNECT's host and port under the current settings.
    bool isSSLProxied(const ProxyEvent& evt) override;
    std::shared_ptr<ProxyHandler> createHandler(const std::shared_ptr<ProxyConnection>& connection) override;

    /// The pass phrase of "ca.pem".
    static std::string caPassPhrase();

protected:
    /// Initialises the crypto library once per process, loads or builds the CA and hands it
    /// to the factory.
    virtual void initCA();
    /// Builds and saves a new CA; fatal on failure.
    virtual void buildAndExportCA();

private:
    std::shared_ptr<SSLContextFactory> contextFactory_;
    std::shared_ptr<SSLCAGenerator> ca_;
    std::atomic<std::shared_ptr<const SSLSettings>> settings_;
};

} // namespace pemtrox
