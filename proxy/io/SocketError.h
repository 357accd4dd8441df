#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// Failures of sockets. Reporting title "Socket Error".
class SocketError : public ErrorBase<SocketError> {
public:
    enum class Kind {
        unknownError,
        socketClosed,
        connectionClosedByPeer,
        connectionResetByPeer,
        connectionReset,
        timeout
    };

    /// A platform socket error with no case of its own; described after the platform's text.
    static SocketError unknownError(ErrorPtr platformError) {
        return SocketError(Kind::unknownError, std::move(platformError));
    }
    static SocketError socketClosed() { return SocketError(Kind::socketClosed); }
    static SocketError connectionClosedByPeer() { return SocketError(Kind::connectionClosedByPeer); }
    static SocketError connectionResetByPeer() { return SocketError(Kind::connectionResetByPeer); }
    static SocketError connectionReset() { return SocketError(Kind::connectionReset); }
    static SocketError timeout() { return SocketError(Kind::timeout); }

    static constexpr ErrorDomain domain{"SocketError"};
    const ErrorDomain* errorDomain() const override { return &domain; }
    int errorCase() const override { return static_cast<int>(kind_); }

    Kind kind() const { return kind_; }
    /// The platform error of unknownError, else null.
    const ErrorPtr& platformError() const { return platformError_; }
    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "Socket Error"; }

    /// True when the error is a SocketError of that kind.
    static bool is(const ErrorPtr& error, Kind kind);

private:
    explicit SocketError(Kind kind, ErrorPtr platformError = nullptr)
        : kind_(kind), platformError_(std::move(platformError)) {}
    Kind kind_;
    ErrorPtr platformError_;
};

} // namespace pemtrox
