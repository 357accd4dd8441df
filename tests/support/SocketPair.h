#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AsyncTcpSocket.h"
#include "platform/DispatchQueue.h"

namespace pemtrox::test {

/// Records every callback of a socket layer socket as one line of text ("connect HOST:PORT",
/// "read TAG BYTES" (the count past 64 bytes), "write TAG", "disconnect DESCRIPTION" or "-",
/// "accept", "secure"), checking that each runs on the queue given.
class SocketEvents : public AsyncTcpSocketDelegate {
public:
    explicit SocketEvents(const DispatchQueue* queue = nullptr) : queue_(queue) {}
    /// Runs inside each read callback, after it was recorded.
    std::function<void(long tag)> onRead;

    std::vector<std::string> snapshot();
    bool has(const std::string& prefix);
    std::size_t count(const std::string& prefix);
    ErrorPtr disconnectError();
    AsyncTcpSocket::Bytes lastRead();
    std::shared_ptr<AsyncTcpSocket> firstAccepted();
    /// Drops the accepted sockets (closing those nobody else holds).
    void dropAccepted();

    void socketDidConnect(const std::string& host, std::uint16_t port) override;
    void socketDidRead(AsyncTcpSocket::Bytes data, long tag) override;
    void socketDidWrite(long tag) override;
    void socketDidDisconnect(ErrorPtr error) override;
    void socketDidAccept(std::shared_ptr<AsyncTcpSocket> newSocket) override;
    void socketDidSecure() override;

private:
    void add(std::string line);
    const DispatchQueue* queue_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    ErrorPtr disconnectError_;
    AsyncTcpSocket::Bytes lastRead_;
    std::vector<std::shared_ptr<AsyncTcpSocket>> accepted_;
};

/// A listener on 127.0.0.1 port 0 and a client connected to it, with the accepted server
/// socket, all on one queue of their own. The end closes the sockets on the queue and joins
/// its thread once nothing else holds the queue, so no work of the test outlives it.
struct SocketPair {
    SocketPair();
    ~SocketPair();
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("socket-pair");
    std::shared_ptr<SocketEvents> listenerEvents = std::make_shared<SocketEvents>(queue.get()),
                                  clientEvents = std::make_shared<SocketEvents>(queue.get()),
                                  serverEvents = std::make_shared<SocketEvents>(queue.get());
    std::shared_ptr<AsyncTcpSocket> listener = AsyncTcpSocket::make(queue),
                                    client = AsyncTcpSocket::make(queue), server;
};

} // namespace pemtrox::test
