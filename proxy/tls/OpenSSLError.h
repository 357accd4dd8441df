#pragma once

#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// Failures of the OpenSSL support layer. Reporting title "OpenSSL Error".
class OpenSSLError : public ErrorBase<OpenSSLError> {
public:
    enum class Kind { failedToAddExtension, failedToConvertCertificate };

    static OpenSSLError failedToAddExtension(std::string message) {
        return {Kind::failedToAddExtension, std::move(message)};
    }
    static OpenSSLError failedToConvertCertificate(std::string message) {
        return {Kind::failedToConvertCertificate, std::move(message)};
    }

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "OpenSSL Error"; }

private:
    OpenSSLError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

} // namespace pemtrox
