#pragma once

#include <functional>
#include <memory>

#include "platform/Error.h"

namespace pemtrox {

class RemoteConnection;

/// The outcome of a remote connect: `connected` with the connection to use, or `failed`.
class RemoteConnectionState {
public:
    static RemoteConnectionState connected(std::shared_ptr<RemoteConnection> connection) {
        return RemoteConnectionState(std::move(connection), nullptr);
    }
    static RemoteConnectionState failed(ErrorPtr error) {
        return RemoteConnectionState(nullptr, std::move(error));
    }

    bool isConnected() const { return error_ == nullptr; }
    const std::shared_ptr<RemoteConnection>& connection() const { return connection_; }
    const ErrorPtr& error() const { return error_; }

private:
    RemoteConnectionState(std::shared_ptr<RemoteConnection> connection, ErrorPtr error)
        : connection_(std::move(connection)), error_(std::move(error)) {}
    std::shared_ptr<RemoteConnection> connection_;
    ErrorPtr error_;
};

/// Runs exactly once per connect, on the server's queue.
using RemoteConnectionCallback = std::function<void(RemoteConnectionState)>;

} // namespace pemtrox
