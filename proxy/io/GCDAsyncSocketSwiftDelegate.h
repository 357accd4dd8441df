#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Error.h"
#include "proxy/io/Data.h"

namespace pemtrox {

class AsyncTcpSocket;
class AsyncUdpSocket;

/// The socket layer's TCP callbacks as the socket classes take them (through a
/// GCDAsyncSocketDelegateHelper). They run on the socket's queue.
class GCDAsyncSocketSwiftDelegate {
public:
    virtual ~GCDAsyncSocketSwiftDelegate() = default;
    virtual void socketDidConnect(const std::string& host, int port) = 0;
    virtual void socketDidRead(Data data, long tag) = 0;
    virtual void socketDidWrite(long tag) = 0;
    virtual void socketDidDisconnect(ErrorPtr error) = 0;
    /// The peer ended its stream; the socket allowed half-closing and stays open for writes.
    virtual void socketDidReadToEnd() {}
    /// The TLS handshake of a socket secured with startTLS has ended; only a TLS socket's
    /// delegate gets it (a plain socket is never secured).
    virtual void socketDidSecure() {}
};

/// A delegate that takes the TLS callback.
class GCDAsyncSSLSocketSwiftDelegate : public GCDAsyncSocketSwiftDelegate {
public:
    void socketDidSecure() override = 0;
};

/// A listening socket's callback: one accepted connection.
class GCDAsyncServerSocketSwiftDelegate {
public:
    virtual ~GCDAsyncServerSocketSwiftDelegate() = default;
    virtual void socketDidAcceptNewSocket(std::shared_ptr<AsyncTcpSocket> newSocket) = 0;
};

/// The UDP relay's callbacks, each naming the socket it comes from.
class GCDAsyncUdpSocketSwiftDelegate {
public:
    virtual ~GCDAsyncUdpSocketSwiftDelegate() = default;
    virtual void udpSocketDidSendData(AsyncUdpSocket& socket, long tag) = 0;
    /// A datagram, the sender's socket address (sockaddr bytes) and the filter context, which
    /// this socket layer never has (always null).
    virtual void udpSocketDidReceive(AsyncUdpSocket& socket, Data data, Data fromAddress,
                                     std::shared_ptr<void> filterContext) = 0;
    virtual void udpSocketDidClose(AsyncUdpSocket& socket, ErrorPtr error) = 0;
};

} // namespace pemtrox
