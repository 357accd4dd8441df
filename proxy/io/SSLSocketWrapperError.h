#pragma once

#include <cstdint>
#include <optional>

#include "platform/Error.h"
#include "platform/TlsEngine.h"

namespace pemtrox {

/// Failures of the TLS socket wrapper; `status` is the TLS engine's status where a case
/// carries one. Reporting title "SSL Socket Error".
class SSLSocketWrapperError : public ErrorBase<SSLSocketWrapperError> {
public:
    enum class Kind {
        sslContextError,
        handshakeFailed,
        readError,
        writeError,
        cannotCreateSSLContext,
        sslContextClosed
    };

    static SSLSocketWrapperError sslContextError(std::int32_t status) {
        return {Kind::sslContextError, status};
    }
    static SSLSocketWrapperError handshakeFailed(std::int32_t status) {
        return {Kind::handshakeFailed, status};
    }
    static SSLSocketWrapperError readError(std::int32_t status) { return {Kind::readError, status}; }
    static SSLSocketWrapperError writeError(std::int32_t status) { return {Kind::writeError, status}; }
    static SSLSocketWrapperError cannotCreateSSLContext() { return {Kind::cannotCreateSSLContext, 0}; }
    static SSLSocketWrapperError sslContextClosed() { return {Kind::sslContextClosed, 0}; }

    Kind kind() const { return kind_; }
    std::int32_t status() const { return status_; }
    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "SSL Socket Error"; }
    /// Of the TLS status family (tlsStatusErrors): its case is the engine's status.
    const ErrorDomain* errorDomain() const override { return &tlsStatusErrors; }
    int errorCase() const override { return status_; }
    bool operator==(const SSLSocketWrapperError& other) const {
        return kind_ == other.kind_ && status_ == other.status_;
    }

private:
    SSLSocketWrapperError(Kind kind, std::int32_t status) : kind_(kind), status_(status) {}
    Kind kind_;
    std::int32_t status_;
};

/// The TLS engine status a failure of either TLS socket kind carries (this wrapper's errors,
/// the engine's own under the socket layer); nothing for any other error or status 0.
std::optional<std::int32_t> tlsStatusOf(const ErrorPtr& error);

} // namespace pemtrox
