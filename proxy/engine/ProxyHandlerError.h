#pragma once

#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// Failures of the request handler itself: unusable request lines and targets, and
/// client-side TLS failures of a tunnel.
class ProxyHandlerError : public ErrorBase<ProxyHandlerError> {
public:
    enum class Kind {
        malformedRequestURL,
        unsupportedScheme,
        unimplemented,
        illegalState,
        invalidConnectRequest,
        sslClientError,
        notHttpFields,
        noScheme,
    };

    static ProxyHandlerError malformedRequestURL(std::string requestAddress) {
        return {Kind::malformedRequestURL, std::move(requestAddress)};
    }
    static ProxyHandlerError unsupportedScheme(std::string scheme) {
        return {Kind::unsupportedScheme, std::move(scheme)};
    }
    static ProxyHandlerError unimplemented(std::string message) {
        return {Kind::unimplemented, std::move(message)};
    }
    static ProxyHandlerError illegalState(std::string message) {
        return {Kind::illegalState, std::move(message)};
    }
    static ProxyHandlerError invalidConnectRequest(std::string requestAddress) {
        return {Kind::invalidConnectRequest, std::move(requestAddress)};
    }
    static ProxyHandlerError sslClientError(std::string message) {
        return {Kind::sslClientError, std::move(message)};
    }
    static ProxyHandlerError notHttpFields() { return {Kind::notHttpFields, {}}; }
    static ProxyHandlerError noScheme() { return {Kind::noScheme, {}}; }

    Kind kind() const { return kind_; }
    /// The case's text: request address, scheme or message; empty for the cases without one.
    const std::string& detail() const { return detail_; }

    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "Proxy Server Error"; }

private:
    ProxyHandlerError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
    Kind kind_;
    std::string detail_;
};

} // namespace pemtrox
