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
    std::int32_t status = 0;
    if (auto* wrapper = dynamic_cast<const SSLSocketWrapperError*>(error.get()))
        status = wrapper->status();
    else if (auto* engine = dynamic_cast<const TlsError*>(error.get()))
        status = engine->status();
    if (status == 0)
        return std::nullopt;
    return status;
}

} // namespace pemtrox
