#pragma once

#include <memory>
#include <string_view>

#include "proxy/engine/ProxyServerAdapter.h"

namespace pemtrox {

class SSLProxyServer;

/// The host name (or, with a "/" before it, the path) at which the CA certificate is
/// served for download.
inline constexpr std::string_view CACertificateHost = "pemtrox.crt";

/// Serves "ca-cert.pem" of the server's CA, read anew for each request, or a 404 when it
/// cannot be read.
class SSLCACertificateProxyListener : public ProxyServerAdapter {
public:
    /// Serves the certificate of `server`'s CA. Held weakly: the server holds its listeners.
    explicit SSLCACertificateProxyListener(std::weak_ptr<SSLProxyServer> server)
        : server_(std::move(server)) {}

    /// Never throws.
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override;

private:
    std::weak_ptr<SSLProxyServer> server_;
};

} // namespace pemtrox
