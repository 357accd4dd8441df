#pragma once

#include <functional>
#include <memory>

#include "platform/Error.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

/// The outcome handed to a connect (or TLS handshake) callback: connected with the socket to
/// use from now on, or failed with an error.
class SocketConnectionState {
public:
    static SocketConnectionState connected(std::shared_ptr<Socket> socket) {
        return SocketConnectionState(std::move(socket), nullptr);
    }
    static SocketConnectionState failed(ErrorPtr error) {
        return SocketConnectionState(nullptr, std::move(error));
    }

    bool isConnected() const { return socket_ != nullptr; }
    /// The socket of `connected`, else null.
    const std::shared_ptr<Socket>& socket() const { return socket_; }
    /// The error of `failed`, else null.
    const ErrorPtr& error() const { return error_; }

private:
    SocketConnectionState(std::shared_ptr<Socket> socket, ErrorPtr error)
        : socket_(std::move(socket)), error_(std::move(error)) {}
    std::shared_ptr<Socket> socket_;
    ErrorPtr error_;
};

/// Called at most once with the outcome of a connect or handshake.
using SocketConnectCallback = std::function<void(SocketConnectionState)>;

} // namespace pemtrox
