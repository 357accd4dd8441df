#pragma once

#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// Failures of making, reading and writing certificates and keys. Reporting title "SSL
/// Certificate Generator Error".
class SSLCertificateGeneratorError : public ErrorBase<SSLCertificateGeneratorError> {
public:
    enum class Kind {
        failedToReadFile,
        failedToWriteFile,
        failedToCreatePKCS12,
        failedToCreateKeys,
        failedToCreateCertificate,
        noKey
    };

    static SSLCertificateGeneratorError failedToReadFile(std::string path, std::string message) {
        return {Kind::failedToReadFile, std::move(path), std::move(message)};
    }
    static SSLCertificateGeneratorError failedToWriteFile(std::string path, std::string message) {
        return {Kind::failedToWriteFile, std::move(path), std::move(message)};
    }
    static SSLCertificateGeneratorError failedToCreatePKCS12(std::string message) {
        return {Kind::failedToCreatePKCS12, {}, std::move(message)};
    }
    /// The library's reason, when there is one, follows the fixed text.
    static SSLCertificateGeneratorError failedToCreateKeys(std::string message = {}) {
        return {Kind::failedToCreateKeys, {}, std::move(message)};
    }
    static SSLCertificateGeneratorError failedToCreateCertificate(std::string message = {}) {
        return {Kind::failedToCreateCertificate, {}, std::move(message)};
    }
    static SSLCertificateGeneratorError noKey() { return {Kind::noKey, {}, {}}; }

    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }
    const std::string& message() const { return message_; }
    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "SSL Certificate Generator Error"; }

private:
    SSLCertificateGeneratorError(Kind kind, std::string path, std::string message)
        : kind_(kind), path_(std::move(path)), message_(std::move(message)) {}
    Kind kind_;
    std::string path_;
    std::string message_;
};

} // namespace pemtrox
