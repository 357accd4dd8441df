#include "proxy/io/SSLSocketWrapperError.h"

#include <string>

#include "platform/TlsEngine.h"

namespace pemtrox {

std::string SSLSocketWrapperError::description() const {
    switch (kind_) {
    case Kind::sslContextError:
        return "SSL context error (" + std::to_string(status_) + ")";
    case Kind::handshakeFailed:
        return "Handshake failed (" + std::to_string(status_) + ")";
    case Kind::readError:
        return "SSL read error (" + std::to_string(status_) + ")";
    case Kind::writeError:
        return "SSL write error (" + std::to_string(status_) + ")";
    case Kind::cannotCreateSSLContext:
        return "Cannot create SSL context";
    case Kind::sslContextClosed:
        return "SSL connection is closed";
    }
    return "SSL error";
}

std::optional<std::int32_t> tlsStatusOf(const ErrorPtr& error) {
    if (!isError(error, tlsStatusErrors) || error->errorCase() == 0)
        return std::nullopt;
    return error->errorCase();
}

} // namespace pemtrox
