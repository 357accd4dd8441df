#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// The server presented no certificate and no host name is known to mint one for.
/// Reporting title "SSL HTTP Proxy Error".
class SSLHttpProxyHandlerError : public ErrorBase<SSLHttpProxyHandlerError> {
public:
    enum class Kind { noRemoteCertificateOrHostname };
    static SSLHttpProxyHandlerError noRemoteCertificateOrHostname() { return {}; }
    Kind kind() const { return Kind::noRemoteCertificateOrHostname; }
    std::string description() const override { return "No remote certificate or hostname"; }
    std::optional<std::string> errorTitle() const override { return "SSL HTTP Proxy Error"; }
};

} // namespace pemtrox
