#include "proxy/io/GCDAsyncSocketDelegateHelper.h"

namespace pemtrox {

void GCDAsyncSocketDelegateHelper::socketDidConnect(const std::string& host, std::uint16_t port) {
    if (auto d = delegate.lock())
        d->socketDidConnect(host, port);
}

void GCDAsyncSocketDelegateHelper::socketDidRead(std::vector<std::uint8_t> data, long tag) {
    if (auto d = delegate.lock())
        d->socketDidRead(std::move(data), tag);
}

void GCDAsyncSocketDelegateHelper::socketDidWrite(long tag) {
    if (auto d = delegate.lock())
        d->socketDidWrite(tag);
}

void GCDAsyncSocketDelegateHelper::socketDidDisconnect(ErrorPtr error) {
    if (auto d = delegate.lock())
        d->socketDidDisconnect(std::move(error));
}

void GCDAsyncSocketDelegateHelper::socketDidReadToEnd() {
    if (auto d = delegate.lock())
        d->socketDidReadToEnd();
}

void GCDAsyncSSLSocketDelegateHelper::socketDidSecure() {
    if (auto d = delegate.lock())
        d->socketDidSecure();
}

void GCDAsyncServerSocketDelegateHelper::socketDidAccept(std::shared_ptr<AsyncTcpSocket> newSocket) {
    if (auto d = delegate.lock())
        d->socketDidAcceptNewSocket(std::move(newSocket));
}

void GCDAsyncUdpSocketDelegateHelper::udpSocketDidReceive(AsyncUdpSocket& socket,
                                                          std::vector<std::uint8_t> data,
                                                          std::vector<std::uint8_t> address) {
    if (auto d = delegate.lock())
        d->udpSocketDidReceive(socket, std::move(data), std::move(address), nullptr);
}

void GCDAsyncUdpSocketDelegateHelper::udpSocketDidClose(AsyncUdpSocket& socket, ErrorPtr error) {
    if (auto d = delegate.lock())
        d->udpSocketDidClose(socket, std::move(error));
}

} // namespace pemtrox
