#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/Error.h"

namespace pemtrox {

/// The family of the errors that carry a TLS engine status (the engine's own and the TLS
/// socket wrapper's): their case is that status, 0 when they carry none.
inline constexpr ErrorDomain tlsStatusErrors{"TlsStatus"};

/// A failure of the TLS engine; its description is what the connection fails with, its
/// status the engine's status for it (0 when it has none).
class TlsError : public ErrorBase<TlsError> {
public:
    enum class Kind {
        /// The server's chain or name did not verify; the text is "certificate verify failed: …".
        certificateVerifyFailed,
        /// The engine could not be set up (context, identity, peer name).
        configuration,
        /// The TLS protocol failed (bad record, alert from the peer, no shared cipher, …).
        protocol,
    };
    TlsError(Kind kind, std::string description, std::int32_t status = 0)
        : kind_(kind), description_(std::move(description)), status_(status) {}
    Kind kind() const { return kind_; }
    std::int32_t status() const { return status_; }
    std::string description() const override { return description_; }
    const ErrorDomain* errorDomain() const override { return &tlsStatusErrors; }
    int errorCase() const override { return status_; }

private:
    Kind kind_;
    std::string description_;
    std::int32_t status_;
};

} // namespace pemtrox
