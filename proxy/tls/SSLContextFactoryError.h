#pragma once

#include <cstdint>
#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// Failures of minting a per-host certificate. Reporting title "SSL Error".
class SSLContextFactoryError : public ErrorBase<SSLContextFactoryError> {
public:
    enum class Kind {
        failedToAddExtensionToCertificate,
        certificateHasNoSubject,
        certificateIsNotAnX509Certificate
    };

    static SSLContextFactoryError failedToAddExtensionToCertificate(std::int32_t nid) {
        return {Kind::failedToAddExtensionToCertificate, nid};
    }
    static SSLContextFactoryError certificateHasNoSubject() { return {Kind::certificateHasNoSubject, 0}; }
    static SSLContextFactoryError certificateIsNotAnX509Certificate() {
        return {Kind::certificateIsNotAnX509Certificate, 0};
    }

    Kind kind() const { return kind_; }
    std::int32_t nid() const { return nid_; }
    std::string description() const override {
        switch (kind_) {
        case Kind::failedToAddExtensionToCertificate:
            return "Failed to add certificate extension (#" + std::to_string(nid_) + ")";
        case Kind::certificateHasNoSubject:
            return "Certificate has no subject";
        case Kind::certificateIsNotAnX509Certificate:
            return "Certificate not an X509 certificate";
        }
        return "SSL error";
    }
    std::optional<std::string> errorTitle() const override { return "SSL Error"; }

private:
    SSLContextFactoryError(Kind kind, std::int32_t nid) : kind_(kind), nid_(nid) {}
    Kind kind_;
    std::int32_t nid_;
};

} // namespace pemtrox
