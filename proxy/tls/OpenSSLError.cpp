#include "proxy/tls/OpenSSLError.h"

namespace pemtrox {

std::string OpenSSLError::description() const {
    switch (kind_) {
    case Kind::failedToAddExtension:
        return "Failed to add certificate extension: " + message_;
    case Kind::failedToConvertCertificate:
        return "Failed to convert certificate: " + message_;
    }
    return message_;
}

} // namespace pemtrox
