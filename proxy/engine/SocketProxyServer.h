#pragma once

#include <memory>
#include <optional>
#include <string>

#include "proxy/engine/AbstractSocketProxyServer.h"
#include "proxy/io/GCDAsyncSocketSwiftDelegate.h"

namespace pemtrox {

class AsyncTcpSocket;
class GCDAsyncServerSocketDelegateHelper;

/// A proxy server listening on a TCP port: each accepted connection becomes a client
/// socket with HTTP streams and gets its own handler. Servers that listen on another
/// transport override bind() and stopListening() and pass what they accept, wrapped in a
/// SocketProxyConnection, to handleConnection().
class SocketProxyServer : public AbstractSocketProxyServer, public GCDAsyncServerSocketSwiftDelegate {
public:
    explicit SocketProxyServer(std::shared_ptr<DispatchQueue> queue);
    ~SocketProxyServer() override;

    /// Starts accepting on the interface (a local address or name; all when absent) and the
    /// port (0...65535; 0 picks a free one). Throws the socket layer's error, or a
    /// GenericError for a port out of range; the server then stays as it was.
    virtual void bind(int port, const std::optional<std::string>& interface = std::nullopt);
    /// Stops accepting; live connections go on.
    virtual void stopListening();
    /// The port being listened on, once bound.
    virtual std::optional<int> localPort() const;

    /// One accepted connection, on the queue.
    void socketDidAcceptNewSocket(std::shared_ptr<AsyncTcpSocket> newSocket) override;

private:
    std::shared_ptr<AsyncTcpSocket> listenSocket_;
    std::shared_ptr<GCDAsyncServerSocketDelegateHelper> listenSocketDelegate_;
};

} // namespace pemtrox
