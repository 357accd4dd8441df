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

    /// Resets a kernel TCP socket at once, dropping what is still queued for the peer: a
    /// stopping server must not wait for peers that do not read. The socket's own close
    /// sequence follows; other kinds of socket are left as they are (Socket::resetConnection).
    static void reset(const std::shared_ptr<Socket>& socket);
    /// Whether the client of a TCP socket (the kernel's or the tunnel stack's) has gone:
    /// reset, closed, or ended its side with nothing left unread (in the socket or read
    /// ahead by the head reader); false for other kinds of socket.
    bool peerHasGone() const;
    /// Whether the client of a TCP socket has reset, closed, or ended its side, whatever it
    /// sent before; false for other kinds of socket.
    bool peerHasEnded() const;
    /// Lets a TCP socket's peer end one direction alone (see DefaultSocket); false for
    /// sockets that cannot.
    static bool allowHalfClose(const std::shared_ptr<Socket>& socket);

private:
    std::shared_ptr<Socket> socket_;
    std::shared_ptr<HttpInputStream> inputStream_;
    std::shared_ptr<HttpOutputStream> outputStream_;
};

} // namespace pemtrox
