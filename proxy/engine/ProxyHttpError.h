#pragma once

#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// Failures of forwarding one exchange between the client and the real server.
class ProxyHttpError : public ErrorBase<ProxyHttpError> {
public:
    enum class Kind {
        illegalState,
        remoteServerClosedConnection,
        clientClosedConnection,
        nonHttpRequestHeader,
        /// A request body framed by a coding other than exactly "chunked": the proxy could
        /// not tell where the body ends, so forwarding it would let the server see another
        /// message than the proxy did.
        unsupportedTransferEncoding,
        /// A "Content-Length" that is not a number, negative, or given twice with different values.
        invalidContentLength,
        /// More interim (1xx) responses to one request than the limit: a server could
        /// otherwise keep one exchange going, and growing, for ever.
        tooManyInterimResponses,
    };

    static ProxyHttpError illegalState(std::string message) {
        return {Kind::illegalState, std::move(message)};
    }
    static ProxyHttpError remoteServerClosedConnection(std::string where) {
        return {Kind::remoteServerClosedConnection, std::move(where)};
    }
    static ProxyHttpError clientClosedConnection() { return {Kind::clientClosedConnection, {}}; }
    static ProxyHttpError nonHttpRequestHeader() { return {Kind::nonHttpRequestHeader, {}}; }
    static ProxyHttpError unsupportedTransferEncoding(std::string value) {
        return {Kind::unsupportedTransferEncoding, std::move(value)};
    }
    static ProxyHttpError invalidContentLength(std::string value) {
        return {Kind::invalidContentLength, std::move(value)};
    }

    static ProxyHttpError tooManyInterimResponses(int limit) {
        return {Kind::tooManyInterimResponses, std::to_string(limit)};
    }

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }

    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "HTTP Proxy Error"; }

private:
    ProxyHttpError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
    Kind kind_;
    std::string detail_;
};

} // namespace pemtrox
