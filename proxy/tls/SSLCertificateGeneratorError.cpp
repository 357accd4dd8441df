#include "proxy/tls/SSLCertificateGeneratorError.h"

namespace pemtrox {

std::string SSLCertificateGeneratorError::description() const {
    auto withReason = [this](std::string text) { return message_.empty() ? text : text + ": " + message_; };
    switch (kind_) {
    case Kind::failedToReadFile:
        return "SSL certificate generator failed to read file: " + message_;
    case Kind::failedToWriteFile:
        return "SSL certificate generator failed to write file: " + message_;
    case Kind::failedToCreatePKCS12:
        return "SSL certificate generator failed to create PKCS12 container";
    case Kind::failedToCreateKeys:
        return withReason("SSL certificate generator failed to create keys");
    case Kind::failedToCreateCertificate:
        return withReason("SSL certificate generator failed to create certificate");
    case Kind::noKey:
        return "SSL certificate generator is missing a private key";
    }
    return "SSL certificate generator error";
}

} // namespace pemtrox
