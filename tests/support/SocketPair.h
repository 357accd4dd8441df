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

    std::vector<std::string> snapshot() {
        return locked([&] { return lines_; });
    }
    std::size_t count(const std::string& prefix) {
        return locked([&] {
            std::size_t n = 0;
            for (const auto& line : lines_)
                n += line.rfind(prefix, 0) == 0;
            return n;
        });
    }
    bool has(const std::string& prefix) { return count(prefix) > 0; }
    ErrorPtr disconnectError() {
        return locked([&] { return disconnectError_; });
    }
    AsyncTcpSocket::Bytes lastRead() {
        return locked([&] { return lastRead_; });
    }
    std::shared_ptr<AsyncTcpSocket> firstAccepted() {
        return locked([&] { return accepted_.empty() ? nullptr : accepted_.front(); });
    }
    void dropAccepted() {
        locked([&] { accepted_.clear(); });
    }

    void socketDidConnect(const std::string& host, std::uint16_t port) override {
        add("connect " + host + ":" + std::to_string(port));
    }
    void socketDidRead(AsyncTcpSocket::Bytes data, long tag) override {
        std::string shown =
            data.size() > 64 ? std::to_string(data.size()) : std::string(data.begin(), data.end());
        locked([&] { lastRead_ = std::move(data); }); // in place before the line a test waits for
        add("read " + std::to_string(tag) + " " + shown);
        if (onRead)
            onRead(tag);
    }
    void socketDidWrite(long tag) override { add("write " + std::to_string(tag)); }
    void socketDidDisconnect(ErrorPtr error) override {
        locked([&] { disconnectError_ = error; });
        add("disconnect " + (error ? error->description() : std::string("-")));
    }
    void socketDidAccept(std::shared_ptr<AsyncTcpSocket> newSocket) override {
        locked([&] { accepted_.push_back(std::move(newSocket)); });
        add("accept");
    }
    void socketDidSecure() override { add("secure"); }

private:
    template <class F> auto locked(F f) -> decltype(f()) {
        std::lock_guard lock(mutex_);
        return f();
    }
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
