#include "tests/support/SocketPair.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace pemtrox::test {

void SocketEvents::add(std::string line) {
    if (queue_) {
        EXPECT_TRUE(queue_->isCurrent()) << line;
    }
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> SocketEvents::snapshot() {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool SocketEvents::has(const std::string& prefix) {
    return count(prefix) > 0;
}

std::size_t SocketEvents::count(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_)
        n += line.rfind(prefix, 0) == 0;
    return n;
}

ErrorPtr SocketEvents::disconnectError() {
    std::lock_guard lock(mutex_);
    return disconnectError_;
}

AsyncTcpSocket::Bytes SocketEvents::lastRead() {
    std::lock_guard lock(mutex_);
    return lastRead_;
}

std::shared_ptr<AsyncTcpSocket> SocketEvents::firstAccepted() {
    std::lock_guard lock(mutex_);
    return accepted_.empty() ? nullptr : accepted_.front();
}

void SocketEvents::dropAccepted() {
    std::lock_guard lock(mutex_);
    accepted_.clear();
}

void SocketEvents::socketDidConnect(const std::string& host, std::uint16_t port) {
    add("connect " + host + ":" + std::to_string(port));
}

void SocketEvents::socketDidRead(AsyncTcpSocket::Bytes data, long tag) {
    {
        // The bytes are in place before the line that a waiting test looks for.
        std::lock_guard lock(mutex_);
        lastRead_ = data;
    }
    add("read " + std::to_string(tag) + " " +
        (data.size() > 64 ? std::to_string(data.size()) : std::string(data.begin(), data.end())));
    if (onRead)
        onRead(tag);
}

void SocketEvents::socketDidWrite(long tag) {
    add("write " + std::to_string(tag));
}

void SocketEvents::socketDidDisconnect(ErrorPtr error) {
    {
        std::lock_guard lock(mutex_);
        disconnectError_ = error;
    }
    add("disconnect " + (error ? error->description() : std::string("-")));
}

void SocketEvents::socketDidAccept(std::shared_ptr<AsyncTcpSocket> newSocket) {
    {
        std::lock_guard lock(mutex_);
        accepted_.push_back(std::move(newSocket));
    }
    add("accept");
}

void SocketEvents::socketDidSecure() {
    add("secure");
}

SocketPair::SocketPair() {
    listener->setDelegate(listenerEvents);
    listener->acceptOn("127.0.0.1", 0);
    client->setDelegate(clientEvents);
    client->connect("127.0.0.1", *listener->localPort(), {}, 5.0);
    EXPECT_TRUE(waitFor([&] { return clientEvents->has("connect") && listenerEvents->has("accept"); }));
    server = listenerEvents->firstAccepted();
    if (server)
        server->setDelegate(serverEvents);
}

SocketPair::~SocketPair() {
    queue->sync([&] {
        for (auto* socket : {&client, &server, &listener}) {
            if (*socket)
                (*socket)->disconnect();
            socket->reset();
        }
        listenerEvents->dropAccepted();
    });
    EXPECT_TRUE(waitFor([&] { return queue.use_count() == 1; }));
    queue->stop();
}

} // namespace pemtrox::test
