#pragma once

#include "proxy/io/DefaultSocket.h"

namespace pemtrox {

/// The socket of an outgoing connection to a real server: connects through the address's
/// interface with a time-out and without Nagle's delay.
class ProxySocket : public DefaultSocket {
public:
    static std::shared_ptr<ProxySocket> make(std::shared_ptr<AsyncTcpSocket> socket,
                                             std::shared_ptr<DispatchQueue> queue) {
        return finishMaking(makeSocket<ProxySocket>(std::move(socket), std::move(queue)));
    }
    /// As DefaultSocket::connecting, making a ProxySocket.
    static std::shared_ptr<ProxySocket> connecting(const InetAddress& address, int port,
                                                   std::shared_ptr<DispatchQueue> queue,
                                                   SocketConnectCallback callback) {
        return connectingAs<ProxySocket>(address, port, std::move(queue), std::move(callback));
    }
    using DefaultSocket::DefaultSocket;

    /// The connect time-out new sockets start with: 300 s unless changed. The server-side TLS
    /// handshake of an intercepted tunnel is bounded by the same value.
    static void setDefaultConnectTimeout(double seconds);
    static double defaultConnectTimeout();

    /// Seconds a connect may take.
    double ConnectTimeout = defaultConnectTimeout();
    std::optional<double> connectTimeout() const override { return ConnectTimeout; }

    /// Connects through the address's interface with ConnectTimeout, then sets TCP_NODELAY.
    void connect(const InetAddress& address, int port) override;
};

} // namespace pemtrox
