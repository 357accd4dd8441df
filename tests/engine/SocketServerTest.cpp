#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "platform/DispatchQueue.h"
#include "proxy/engine/AbstractSocketProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyHandler.h"
#include "tests/support/TestSupport.h"

namespace pemtrox {
namespace {

class FakeConnection : public ProxyConnection {
public:
    std::shared_ptr<const InetAddress> address() const override { return nullptr; }
    std::optional<std::int64_t> port() const override { return std::nullopt; }
    std::shared_ptr<const InetAddress> localAddress() const override { return nullptr; }
    std::optional<std::int64_t> localPort() const override { return std::nullopt; }
    std::shared_ptr<HttpInputStream> inputStream() const override { return nullptr; }
    std::shared_ptr<HttpOutputStream> outputStream() const override { return nullptr; }
    void close() override { ++closes; }
    std::atomic<int> closes{0};
};

class CancelFailed : public ErrorBase<CancelFailed> {
public:
    std::string description() const override { return "cannot cancel"; }
};

// Completes when cancelled, or fails to cancel.
class FakeHandler : public ProxyHandler, public std::enable_shared_from_this<FakeHandler> {
public:
    explicit FakeHandler(bool cancelThrows) : cancelThrows_(cancelThrows) {}
    void start(Completion completion) override { completion_ = std::move(completion); }
    void cancel() override {
        ++cancels;
        if (cancelThrows_)
            throw CancelFailed();
        finish();
    }
    void finish() {
        if (auto completion = std::exchange(completion_, nullptr))
            completion(shared_from_this());
    }
    std::atomic<int> cancels{0};

private:
    bool cancelThrows_;
    Completion completion_;
};

class FakeServer : public AbstractSocketProxyServer {
public:
    using AbstractSocketProxyServer::AbstractSocketProxyServer;
    std::shared_ptr<ProxyHandler> createHandler(const std::shared_ptr<ProxyConnection>&) override {
        auto handler = std::make_shared<FakeHandler>(made.size() == 0 && firstCancelThrows);
        made.push_back(handler);
        return handler;
    }
    bool firstCancelThrows = false;
    std::vector<std::shared_ptr<FakeHandler>> made;
};

void drain(const std::shared_ptr<DispatchQueue>& queue) {
    queue->sync([] {});
}

TEST(SocketServerTest, StopCancelsEveryHandlerEvenWhenOneFails) {
    auto logger = test::CapturingLogger::install();
    auto queue = DispatchQueue::make("server");
    auto server = std::make_shared<FakeServer>(queue);
    server->firstCancelThrows = true;
    auto c1 = std::make_shared<FakeConnection>();
    auto c2 = std::make_shared<FakeConnection>();
    queue->sync([&] {
        server->handleConnection(c1);
        server->handleConnection(c2);
    });
    EXPECT_EQ(server->handlerCount(), 2u);
    server->stop();
    drain(queue);
    EXPECT_EQ(server->made[0]->cancels, 1);
    EXPECT_EQ(server->made[1]->cancels, 1);
    EXPECT_EQ(server->handlerCount(), 1u); // the one whose cancel failed is still live
    EXPECT_EQ(c1->closes + c2->closes, 1);
    int warnings = 0;
    for (auto& line : logger->lines())
        warnings += line.find("Failed to cancel handler: cannot cancel") != std::string::npos;
    EXPECT_EQ(warnings, 1);
}

TEST(SocketServerTest, StopWithoutHandlersDoesNothing) {
    auto queue = DispatchQueue::make("server");
    auto server = std::make_shared<FakeServer>(queue);
    server->stop();
    drain(queue);
    EXPECT_EQ(server->handlerCount(), 0u);
}

TEST(SocketServerTest, HandlerCompletingAfterServerIsGoneStillClosesItsConnection) {
    auto queue = DispatchQueue::make("server");
    auto server = std::make_shared<FakeServer>(queue);
    auto connection = std::make_shared<FakeConnection>();
    queue->sync([&] { server->handleConnection(connection); });
    auto handler = server->made[0];
    server.reset();
    queue->sync([&] { handler->finish(); });
    EXPECT_EQ(connection->closes, 1);
}

} // namespace
} // namespace pemtrox
