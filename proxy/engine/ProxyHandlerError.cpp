#include "proxy/engine/ProxyHandlerError.h"

namespace pemtrox {

std::string ProxyHandlerError::description() const {
    switch (kind_) {
    case Kind::malformedRequestURL:
        return "Malformed request URL: " + detail_;
    case Kind::unsupportedScheme:
        return "Unsupported scheme: " + detail_;
    case Kind::unimplemented:
        return "Unimplemented feature: " + detail_;
    case Kind::illegalState:
        return "Illegal state: " + detail_;
    case Kind::invalidConnectRequest:
        return "Invalid CONNECT request: " + detail_;
    case Kind::sslClientError:
        return "SSL client error: " + detail_;
    case Kind::notHttpFields:
        return "Expected HTTP headers";
    case Kind::noScheme:
        return "No scheme in request";
    }
    return {};
}

} // namespace pemtrox
