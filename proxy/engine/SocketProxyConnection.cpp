#include "proxy/engine/SocketProxyConnection.h"

#include "proxy/engine/HttpInputStream.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InetAddress.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

namespace {

std::shared_ptr<const InetAddress> addressFrom(const std::optional<std::string>& text) {
    if (!text)
        return nullptr;
    return std::make_shared<const InetAddress>(*text, *text);
}

} // namespace

std::shared_ptr<SocketProxyConnection> SocketProxyConnection::make(std::shared_ptr<Socket> socket) {
    return Plumber::make<SocketProxyConnection>(std::move(socket));
}

SocketProxyConnection::SocketProxyConnection(std::shared_ptr<Socket> socket)
    : socket_(std::move(socket)), inputStream_(HttpInputStream::make(socket_->inputStream())),
      outputStream_(HttpOutputStream::make(socket_->outputStream())) {}

std::shared_ptr<const InetAddress> SocketProxyConnection::address() const {
    return addressFrom(socket_->host());
}

std::optional<std::int64_t> SocketProxyConnection::port() const {
    return socket_->port();
}

std::shared_ptr<const InetAddress> SocketProxyConnection::localAddress() const {
    return addressFrom(socket_->localHost());
}

std::optional<std::int64_t> SocketProxyConnection::localPort() const {
    return socket_->localPort();
}

void SocketProxyConnection::reset() {
    socket_->resetConnection();
}

bool SocketProxyConnection::allowHalfClose() {
    return socket_->allowHalfClose();
}

bool SocketProxyConnection::peerHasGone() const {
    // A peer that ended its side after bytes still unread (a body, or a tunnel's first
    // bytes, also those the head reader read ahead) may be waiting for the answer; one with
    // nothing left to say has gone.
    return socket_->peerHasLeft(true, inputStream_->hasPushedData());
}

bool SocketProxyConnection::peerHasEnded() const {
    return socket_->peerHasLeft(false, false);
}

void SocketProxyConnection::close() {
    socket_->close();
}

} // namespace pemtrox
