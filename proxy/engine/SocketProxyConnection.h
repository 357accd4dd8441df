#pragma once

#include <memory>

#include "proxy/engine/AbstractProxyConnection.h"

namespace pemtrox {

class Socket;

/// A client connection over a socket (an accepted TCP socket, or a connection of the
/// tunnel's IP stack) with the HTTP streams over the socket's streams. The addresses are
/// read from the socket each time they are asked for.
class SocketProxyConnection : public AbstractProxyConnection {
public:
    static std::shared_ptr<SocketProxyConnection> make(std::shared_ptr<Socket> socket);
    explicit SocketProxyConnection(std::shared_ptr<Socket> socket);

    const std::shared_ptr<Socket>& socket() const { return socket_; }

    /// The peer's address text as both host and address; absent while the socket has none.
    std::shared_ptr<const InetAddress> address() const override;
    std::optional<std::int64_t> port() const override;
    std::shared_ptr<const InetAddress> localAddress() const override;
    std::optional<std::int64_t> localPort() const override;
    std::shared_ptr<HttpInputStream> inputStream() const override { return inputStream_; }
    std::shared_ptr<HttpOutputStream> outputStream() const override { return outputStream_; }
    /// Closes the socket (which ends both streams).
    void close() override;

    std::shared_ptr<Socket> plainSocket() const override { return socket_; }
    /// The socket's (kernel TCP and the tunnel stack's can; see DefaultSocket).
    bool allowHalfClose() override;
    /// A stopping server must not wait for peers that do not read; the socket's own close
    /// sequence follows. Other kinds of socket are left as they are.
    void reset() override;
    /// Asked of the socket (TCP sockets, the kernel's or the tunnel stack's, can tell).
    bool peerHasGone() const override;
    bool peerHasEnded() const override;

private:
    std::shared_ptr<Socket> socket_;
    std::shared_ptr<HttpInputStream> inputStream_;
    std::shared_ptr<HttpOutputStream> outputStream_;
};

} // namespace pemtrox
