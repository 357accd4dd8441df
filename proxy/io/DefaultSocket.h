#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/AsyncTcpSocket.h"
#include "platform/DispatchQueue.h"
#include "proxy/io/AbstractSocket.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"
#include "proxy/io/InetAddress.h"
#include "proxy/io/SocketConnectionState.h"
#include "proxy/io/SocketInputStream.h"
#include "proxy/io/SocketOutputStream.h"
#include "proxy/io/SocketStreamProtocol.h"

namespace pemtrox {

/// A TCP socket over one socket layer socket (AsyncTcpSocket), whose queue is this socket's
/// queue: every call and callback runs there. The layer reaches it through a delegate
/// helper that holds it weakly; its streams hold it weakly too, so its owner alone keeps it.
///
/// A disconnection reported by the layer closes the socket with the mapped SocketError (read
/// time-out: timeout; peer closed: connectionClosedByPeer; reset: connectionResetByPeer;
/// marker read too long: InputStreamError.markerLimitExceeded; otherwise unknownError).
class DefaultSocket : public AbstractSocket, public SocketStreamProtocol, public GCDAsyncSocketSwiftDelegate {
public:
    /// A socket over an existing layer socket (an accepted one, or one about to connect).
    static std::shared_ptr<DefaultSocket> make(std::shared_ptr<AsyncTcpSocket> socket,
                                               std::shared_ptr<DispatchQueue> queue);
    /// A new socket connecting to the address's numeric text and the port. The callback gets
    /// exactly one outcome: `failed` before this returns when the connect cannot start (the
    /// socket is then open and its owner must close it), else later, on `queue`.
    static std::shared_ptr<DefaultSocket> connecting(const InetAddress& address, int port,
                                                     std::shared_ptr<DispatchQueue> queue,
                                                     SocketConnectCallback callback);

    DefaultSocket(std::shared_ptr<AsyncTcpSocket> socket, std::shared_ptr<DispatchQueue> queue);
    /// Fatal "Socket deinit while not closed: <type name>" when released open.
    ~DefaultSocket() override;

    // Socket
    std::shared_ptr<MyInputStream> inputStream() const override { return socketInputStream_; }
    std::shared_ptr<MyOutputStream> outputStream() const override { return socketOutputStream_; }
    bool isClosed() const override { return AbstractSocket::isClosed(); }
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override {
        AbstractSocket::close(std::move(error), std::move(completion));
    }

    // SocketStreamProtocol
    void read(std::optional<std::uint64_t> maxLength, double timeout) override;
    void readTo(std::uint64_t length, double timeout) override;
    void readTo(const Data& marker, std::uint64_t maxLength, double timeout) override;
    /// Queues the bytes, tagged with their count; never throws.
    void write(Data data, bool flush, double timeout) override;
    void flush() override {}
    void inputStreamDidClose(const MyInputStream& stream, ErrorPtr error,
                             CloseCompletion completion) override {
        AbstractSocket::inputStreamDidClose(stream, std::move(error), std::move(completion));
    }
    /// On a socket that allows half-closing, closing the output stream alone sends a FIN once
    /// its bytes have left.
    void outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error,
                              CloseCompletion completion) override;

    // GCDAsyncSocketSwiftDelegate
    void socketDidConnect(const std::string& host, int port) override;
    void socketDidRead(Data data, long tag) override;
    void socketDidWrite(long tag) override;
    void socketDidDisconnect(ErrorPtr error) override;
    /// Ends the input stream (the end of stream reaches its reader); the output goes on.
    void socketDidReadToEnd() override;

    /// Plain TCP only: false once TLS runs on the socket.
    bool allowHalfClose() override;
    /// Asks the kernel: the peer's end with nothing read ahead and nothing left in the socket.
    bool peerHasLeft(bool unreadKeepsIt, bool unreadAbove) override;
    /// Bytes read ahead by the layer or waiting in the kernel, or the peer's end.
    bool hasUnreadInput() const override { return socket_->hasUnreadInput(); }
    /// Sends a reset (no linger) and disconnects, unless closed already.
    void resetConnection() override;
    /// The layer's own TLS (startTLS): a DefaultSSLSocket over this socket.
    std::shared_ptr<SSLSocket> startTLS(const TlsSettings& settings,
                                        std::function<void(SocketConnectionState)> callback) override;

    /// Starts the connect; throws the layer's error when it cannot start.
    virtual void connect(const InetAddress& address, int port);

    const std::shared_ptr<AsyncTcpSocket>& socket() const { return socket_; }
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
    const std::shared_ptr<SocketInputStream>& socketInputStream() const { return socketInputStream_; }
    const std::shared_ptr<SocketOutputStream>& socketOutputStream() const { return socketOutputStream_; }
    bool socketDisconnected() const { return socketDisconnected_; }
    bool hasConnectCallback() const { return connectCallback_ != nullptr; }
    void setConnectCallback(SocketConnectCallback callback) { connectCallback_ = std::move(callback); }

    /// The SocketError (or stream error) a layer disconnection error stands for.
    static ErrorPtr mapDisconnectError(const ErrorPtr& error);

protected:
    /// Disconnects the layer socket after its queued writes, unless it already disconnected.
    void finalCloseStep(ErrorPtr error, CloseCompletion completion) override;
    /// Wires the streams and the helper to the new socket; every factory calls it.
    template <class T> static std::shared_ptr<T> finishMaking(std::shared_ptr<T> socket);
    template <class T>
    static std::shared_ptr<T> connectingAs(const InetAddress& address, int port,
                                           std::shared_ptr<DispatchQueue> queue,
                                           SocketConnectCallback callback);
    /// Takes both endpoints from the layer socket (for a socket that is connected already).
    void takeConnectedAddresses();
    /// Throws when the port is outside 0...65535.
    static std::uint16_t checkedPort(int port);

private:
    std::shared_ptr<AsyncTcpSocket> socket_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<GCDAsyncSocketDelegateHelper> socketDelegate_;
    SocketConnectCallback connectCallback_;
    std::shared_ptr<SocketInputStream> socketInputStream_;
    std::shared_ptr<SocketOutputStream> socketOutputStream_;
    bool halfClose_ = false;
    bool socketDisconnected_ = false;
};

template <class T> std::shared_ptr<T> DefaultSocket::finishMaking(std::shared_ptr<T> socket) {
    std::shared_ptr<DefaultSocket> base = socket;
    std::weak_ptr<DefaultSocket> weak = base;
    base->socketInputStream_->setSocket(weak);
    base->socketOutputStream_->setSocket(weak);
    base->socketDelegate_->delegate = weak;
    base->socket_->setDelegate(base->socketDelegate_);
    return socket;
}

template <class T>
std::shared_ptr<T> DefaultSocket::connectingAs(const InetAddress& address, int port,
                                               std::shared_ptr<DispatchQueue> queue,
                                               SocketConnectCallback callback) {
    auto layer = AsyncTcpSocket::make(queue);
    auto socket = finishMaking(makeSocket<T>(layer, queue));
    socket->setConnectCallback(callback);
    try {
        socket->connect(address, port);
    } catch (...) {
        socket->setConnectCallback(nullptr);
        if (callback)
            callback(SocketConnectionState::failed(currentError()));
    }
    return socket;
}

} // namespace pemtrox
