#pragma once

#include <memory>

#include "platform/Error.h"
#include "proxy/engine/ProxyConnection.h"

namespace pemtrox {

/// The outcome of turning a client connection into another one (the TLS upgrade):
/// connected with the connection to use from now on, or failed with an error.
class ProxyConnectionState {
public:
    static ProxyConnectionState connected(std::shared_ptr<ProxyConnection> connection) {
        return ProxyConnectionState(std::move(connection), nullptr);
    }
    static ProxyConnectionState failed(ErrorPtr error) {
        return ProxyConnectionState(nullptr, std::move(error));
    }

    bool isConnected() const { return connection_ != nullptr; }
    /// The connection of `connected`, else null.
    const std::shared_ptr<ProxyConnection>& connection() const { return connection_; }
    /// The error of `failed`, else null.
    const ErrorPtr& error() const { return error_; }

private:
    ProxyConnectionState(std::shared_ptr<ProxyConnection> connection, ErrorPtr error)
        : connection_(std::move(connection)), error_(std::move(error)) {}
    std::shared_ptr<ProxyConnection> connection_;
    ErrorPtr error_;
};

} // namespace pemtrox
