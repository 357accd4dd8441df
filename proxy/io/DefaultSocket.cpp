#include "proxy/io/DefaultSocket.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "platform/AsyncSocketError.h"
#include "platform/Log.h"
#include "proxy/io/DefaultSSLSocket.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

DefaultSocket::DefaultSocket(std::shared_ptr<AsyncTcpSocket> socket, std::shared_ptr<DispatchQueue> queue)
    : socket_(std::move(socket)), queue_(std::move(queue)),
      socketDelegate_(std::make_shared<GCDAsyncSocketDelegateHelper>()),
      socketInputStream_(SocketInputStream::make(-1.0)), socketOutputStream_(SocketOutputStream::make(-1.0)) {
}

std::shared_ptr<DefaultSocket> DefaultSocket::make(std::shared_ptr<AsyncTcpSocket> socket,
                                                   std::shared_ptr<DispatchQueue> queue) {
    return finishMaking(makeSocket<DefaultSocket>(std::move(socket), std::move(queue)));
}

std::shared_ptr<DefaultSocket> DefaultSocket::connecting(const InetAddress& address, int port,
                                                         std::shared_ptr<DispatchQueue> queue,
                                                         SocketConnectCallback callback) {
    return connectingAs<DefaultSocket>(address, port, std::move(queue), std::move(callback));
}

DefaultSocket::~DefaultSocket() {
    if (!isClosed())
        fatalError("Socket deinit while not closed: " + typeName());
    // The layer holds the helper weakly and the helper dies with this socket, so no callback
    // can reach it any more; nothing to unhook (and no wait on a queue that may be gone).
}

std::uint16_t DefaultSocket::checkedPort(int port) {
    if (port < 0 || port > 65535)
        throw AsyncSocketError::socket(AsyncSocketError::badParam, "Invalid port: " + std::to_string(port));
    return static_cast<std::uint16_t>(port);
}

void DefaultSocket::connect(const InetAddress& address, int port) {
    socket_->connect(address.address(), checkedPort(port));
}

void DefaultSocket::read(std::optional<std::uint64_t> maxLength, double timeout) {
    socket_->readData(timeout, maxLength.value_or(4096), 0);
}

void DefaultSocket::readTo(std::uint64_t length, double timeout) {
    socket_->readDataToLength(length, timeout, 0);
}

void DefaultSocket::readTo(const Data& marker, std::uint64_t maxLength, double timeout) {
    socket_->readDataToData(marker, timeout, maxLength, 0);
}

void DefaultSocket::write(Data data, bool, double timeout) {
    auto count = static_cast<long>(data.size());
    socket_->writeData(std::move(data), timeout, count);
}

void DefaultSocket::finalCloseStep(ErrorPtr error, CloseCompletion completion) {
    if (!socketDisconnected_)
        socket_->disconnectAfterWriting();
    if (completion)
        completion(std::move(error));
}

void DefaultSocket::takeConnectedAddresses() {
    setHost(socket_->connectedHost());
    auto remote = socket_->connectedPort();
    setPort(remote ? std::optional<int>(*remote) : std::nullopt);
    setLocalHost(socket_->localHost());
    auto local = socket_->localPort();
    setLocalPort(local ? std::optional<int>(*local) : std::nullopt);
}

void DefaultSocket::socketDidConnect(const std::string& host, int port) {
    takeConnectedAddresses();
    setHost(host);
    setPort(port);
    if (auto callback = std::move(connectCallback_)) {
        connectCallback_ = nullptr;
        callback(SocketConnectionState::connected(selfSocket()));
    }
}

void DefaultSocket::socketDidRead(Data data, long) {
    socketInputStream_->socketDidRead(std::move(data));
}

void DefaultSocket::socketDidWrite(long tag) {
    socketOutputStream_->didSend(tag);
}

ErrorPtr DefaultSocket::mapDisconnectError(const ErrorPtr& error) {
    if (!error)
        return nullptr;
    if (isError(error, AsyncSocketError::socketErrors, AsyncSocketError::readTimeout))
        return makeError<SocketError>(SocketError::timeout());
    if (isError(error, AsyncSocketError::socketErrors, AsyncSocketError::closed))
        return makeError<SocketError>(SocketError::connectionClosedByPeer());
    // A line or head without end: the stream's own error, so readers see why.
    if (isError(error, AsyncSocketError::socketErrors, AsyncSocketError::readMaxedOut))
        return makeError<InputStreamError>(InputStreamError::markerLimitExceeded());
    if (isError(error, AsyncSocketError::posixErrors, ECONNRESET))
        return makeError<SocketError>(SocketError::connectionResetByPeer());
    return makeError<SocketError>(SocketError::unknownError(error));
}

bool DefaultSocket::allowHalfClose() {
    if (!halfClose_ && !isClosed())
        halfClose_ = socket_->allowHalfClose();
    return halfClose_;
}

bool DefaultSocket::peerHasLeft(bool unreadKeepsIt, bool unreadAbove) {
    // Closed at the client's end of a request with a body: the exchange may still go on.
    if (isClosed())
        return !(unreadKeepsIt && unreadAbove);
    bool unread = unreadKeepsIt && (unreadAbove || socket_->bufferedInput() > 0);
    bool gone = false;
    socket_->performBlock([&](int fd) {
        pollfd p{fd, POLLRDHUP, 0};
        if (fd < 0 || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0)) {
            gone = true;
        } else if (p.revents & POLLRDHUP) {
            char byte;
            gone = !unread && (!unreadKeepsIt || ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0);
        }
    });
    return gone;
}

void DefaultSocket::resetConnection() {
    if (isClosed())
        return;
    socket_->performBlock([](int fd) {
        if (fd < 0)
            return;
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
    socket_->disconnect();
}

std::shared_ptr<SSLSocket> DefaultSocket::startTLS(const TlsSettings& settings,
                                                   std::function<void(SocketConnectionState)> callback) {
    auto self = selfAs(this);
    return DefaultSSLSocket::make(self, socket_, self, settings, std::move(callback));
}

void DefaultSocket::socketDidReadToEnd() {
    socketInputStream_->close();
}

void DefaultSocket::outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error,
                                         CloseCompletion completion) {
    auto input = inputStream();
    if (halfClose_ && !error && input && !input->isClosed())
        socket_->shutdownAfterWriting();
    AbstractSocket::outputStreamDidClose(stream, std::move(error), std::move(completion));
}

void DefaultSocket::socketDidDisconnect(ErrorPtr error) {
    auto self = selfAs(this); // the callbacks below may drop the last owner
    socketDisconnected_ = true;
    if (auto callback = std::move(connectCallback_)) {
        connectCallback_ = nullptr;
        callback(SocketConnectionState::failed(
            error ? error : makeError<SocketError>(SocketError::connectionClosedByPeer())));
    }
    if (markClosed())
        runCloseSequence(mapDisconnectError(error), nullptr);
}

} // namespace pemtrox
