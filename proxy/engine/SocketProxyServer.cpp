#include "proxy/engine/SocketProxyServer.h"

#include "platform/AsyncTcpSocket.h"
#include "platform/DispatchQueue.h"
#include "proxy/engine/SocketProxyConnection.h"
#include "proxy/io/ClientSocket.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"

namespace pemtrox {

SocketProxyServer::SocketProxyServer(std::shared_ptr<DispatchQueue> queue)
    : AbstractSocketProxyServer(queue), listenSocket_(AsyncTcpSocket::make(queue)),
      listenSocketDelegate_(std::make_shared<GCDAsyncServerSocketDelegateHelper>()) {}

SocketProxyServer::~SocketProxyServer() = default;

void SocketProxyServer::bind(int port, const std::optional<std::string>& interface) {
    if (port < 0 || port > 65535)
        throw GenericError("Invalid port " + std::to_string(port));
    // The helper holds the server weakly, so the listening socket never keeps it alive.
    listenSocketDelegate_->delegate = std::static_pointer_cast<SocketProxyServer>(shared_from_this());
    listenSocket_->setDelegate(listenSocketDelegate_);
    listenSocket_->acceptOn(interface, static_cast<std::uint16_t>(port));
}

void SocketProxyServer::stopListening() {
    listenSocket_->disconnect();
}

std::optional<int> SocketProxyServer::localPort() const {
    if (auto port = listenSocket_->localPort())
        return *port;
    return std::nullopt;
}

void SocketProxyServer::socketDidAcceptNewSocket(std::shared_ptr<AsyncTcpSocket> newSocket) {
    auto client = ClientSocket::make(std::move(newSocket), queue());
    handleConnection(SocketProxyConnection::make(std::move(client)));
}

} // namespace pemtrox
