#pragma once

#include <memory>

#include "platform/AsyncTcpSocket.h"
#include "platform/AsyncUdpSocket.h"
#include "proxy/io/GCDAsyncSocketSwiftDelegate.h"

namespace pemtrox {

/// The object a socket layer socket is given as its delegate: it holds the real delegate
/// weakly and passes each callback on while that delegate lives, so the socket layer never
/// keeps a socket class alive.
class GCDAsyncSocketDelegateHelper : public AsyncTcpSocketDelegate {
public:
    std::weak_ptr<GCDAsyncSocketSwiftDelegate> delegate;

    void socketDidConnect(const std::string& host, std::uint16_t port) override;
    void socketDidRead(std::vector<std::uint8_t> data, long tag) override;
    void socketDidWrite(long tag) override;
    void socketDidDisconnect(ErrorPtr error) override;
    void socketDidReadToEnd() override;
};

/// Also passes on the TLS callback.
class GCDAsyncSSLSocketDelegateHelper : public GCDAsyncSocketDelegateHelper {
public:
    void socketDidSecure() override;
};

class GCDAsyncServerSocketDelegateHelper : public AsyncTcpSocketDelegate {
public:
    std::weak_ptr<GCDAsyncServerSocketSwiftDelegate> delegate;

    void socketDidAccept(std::shared_ptr<AsyncTcpSocket> newSocket) override;
    // A listening socket has no connection of its own to report.
    void socketDidConnect(const std::string&, std::uint16_t) override {}
    void socketDidRead(std::vector<std::uint8_t>, long) override {}
    void socketDidWrite(long) override {}
    void socketDidDisconnect(ErrorPtr) override {}
};

class GCDAsyncUdpSocketDelegateHelper : public AsyncUdpSocketDelegate {
public:
    std::weak_ptr<GCDAsyncUdpSocketSwiftDelegate> delegate;

    void udpSocketDidReceive(AsyncUdpSocket& socket, std::vector<std::uint8_t> data,
                             std::vector<std::uint8_t> address) override;
    /// Ignored: the relay does nothing with it.
    void udpSocketDidSend(AsyncUdpSocket&, long) override {}
    void udpSocketDidClose(AsyncUdpSocket& socket, ErrorPtr error) override;
};

} // namespace pemtrox
