#pragma once

#include <string_view>

#include "proxy/engine/ProxyServerAdapter.h"

namespace pemtrox {

/// The host name (or, with a "/" before it, the path) at which the CA certificate is
/// served for download.
inline constexpr std::string_view CACertificateHost = "pemtrox.crt";

/// Serves "ca-cert.pem" of the server's CA, read anew for each request, or a 404 when it
/// cannot be read.
class SSLCACertificateProxyListener : public ProxyServerAdapter {
public:
    /// Never throws.
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override;
};

} // namespace pemtrox
