// The server framework: accepting, one handler per connection, stopping, and the client
// connection's view of its socket.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/ProxyHandler.h"
#include "proxy/engine/SocketProxyConnection.h"
#include "proxy/engine/SocketProxyServer.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InetAddress.h"
#include "proxy/io/Socket.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"
#include "tests/support/proxy/StubSocket.h"

namespace pemtrox::test {
namespace {

// Answers each request head with its first line and the client's address, until the
// client goes away or the handler is cancelled.
class EchoHandler : public ProxyHandler, public std::enable_shared_from_this<EchoHandler> {
public:
    explicit EchoHandler(std::shared_ptr<ProxyConnection> connection) : connection_(std::move(connection)) {}
    void start(Completion completion) override {
        completion_ = std::move(completion);
        next();
    }
    void cancel() override { connection_->close(); }

private:
    void next() {
        auto self = shared_from_this();
        connection_->inputStream()->readHeader([self](Result<std::shared_ptr<HttpFields>> result) {
            if (!result.isSuccess()) {
                self->finish();
                return;
            }
            auto address = self->connection_->address();
            auto body = *result.value()->firstLine() + " from " + (address ? address->address() : "?") +
                        (self->connection_->port() ? ":port" : "");
            self->connection_->outputStream()->write(toData(TestOrigin::ok(body)), true,
                                                     [self](OutputStreamWriteHandlerResult w) {
                                                         if (w.isError())
                                                             self->finish();
                                                         else
                                                             self->next();
                                                     });
        });
    }
    void finish() {
        if (auto completion = std::exchange(completion_, nullptr))
            completion(shared_from_this());
    }
    std::shared_ptr<ProxyConnection> connection_;
    Completion completion_;
};

class EchoServer : public SocketProxyServer {
public:
    using SocketProxyServer::SocketProxyServer;
    std::shared_ptr<ProxyHandler> createHandler(const std::shared_ptr<ProxyConnection>& connection) override {
        return std::make_shared<EchoHandler>(connection);
    }
};

class SocketProxyServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue->sync([&] {
            server = std::make_shared<EchoServer>(queue);
            server->bind(0, "127.0.0.1");
            port = server->localPort().value_or(0);
        });
        ASSERT_GT(port, 0);
    }
    void TearDown() override {
        queue->sync([&] {
            server->stopListening();
            server->stop();
        });
        EXPECT_TRUE(waitFor([&] { return server->handlerCount() == 0; }));
        queue->sync([&] { server.reset(); });
        EXPECT_TRUE(waitFor([] { return liveCount("SocketProxyConnection") == 0; }));
    }
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("server");
    std::shared_ptr<EchoServer> server;
    int port = 0;
};

TEST_F(SocketProxyServerTest, ServesConcurrentKeepAliveClients) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int c = 0; c < 8; ++c)
        threads.emplace_back([&, c] {
            RawClient client(port);
            for (int r = 0; r < 20; ++r) {
                std::string line = "GET /" + std::to_string(c) + "/" + std::to_string(r) + " HTTP/1.1";
                client.send(line + "\r\nHost: x\r\n\r\n");
                auto body = line + " from 127.0.0.1:port";
                good += client.readUntil(body) == TestOrigin::ok(body);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, 8 * 20);
}

TEST_F(SocketProxyServerTest, HandlerEndOrStopClosesTheClientConnection) {
    RawClient broken(port), a(port), b(port);
    broken.send("GET / HTTP/1.1\r\nbroken line\r\n\r\n");
    EXPECT_TRUE(broken.closedByPeer());
    ASSERT_TRUE(waitFor([&] { return server->handlerCount() == 2; }));
    server->stop();
    EXPECT_TRUE(a.closedByPeer());
    EXPECT_TRUE(b.closedByPeer());
    EXPECT_TRUE(waitFor([&] { return server->handlerCount() == 0; }));
}

TEST(SocketProxyServerBindTest, PortsOutOfRangeAndTakenPortsThrow) {
    auto queue = DispatchQueue::make("server");
    queue->sync([&] {
        auto first = std::make_shared<EchoServer>(queue);
        first->bind(0, "127.0.0.1");
        auto second = std::make_shared<EchoServer>(queue);
        EXPECT_THROW(second->bind(-1), Error);
        EXPECT_THROW(second->bind(65536), Error);
        EXPECT_THROW(second->bind(*first->localPort(), "127.0.0.1"), Error);
        first->stopListening();
    });
}

// MARK: the framework with fakes

using test::StubSocket;

TEST(SocketProxyConnectionTest, AddressesFollowTheSocket) {
    auto socket = std::make_shared<StubSocket>();
    socket->port_ = 5000;
    auto connection = SocketProxyConnection::make(socket);
    EXPECT_EQ(connection->address(), nullptr);
    EXPECT_EQ(connection->port(), 5000);
    EXPECT_EQ(connection->localAddress(), nullptr);
    socket->host_ = "fe80::1%lo";
    socket->localHost_ = "127.0.0.1";
    socket->localPort_ = 8888;
    ASSERT_TRUE(connection->address());
    EXPECT_EQ(connection->address()->host(), "fe80::1%lo");
    EXPECT_EQ(connection->address()->address(), "fe80::1");
    EXPECT_EQ(connection->localAddress()->description(), "127.0.0.1/127.0.0.1");
    EXPECT_EQ(connection->localPort(), 8888);
    connection->close();
    EXPECT_EQ(socket->closes, 1);
}

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
        return made.emplace_back(std::make_shared<FakeHandler>(made.empty() && firstCancelThrows));
    }
    bool firstCancelThrows = true;
    std::vector<std::shared_ptr<FakeHandler>> made;
};

TEST(SocketServerTest, StopCancelsEveryHandlerEvenWhenOneFails) {
    auto logger = CapturingLogger::install();
    auto queue = DispatchQueue::make("server");
    auto server = std::make_shared<FakeServer>(queue);
    auto s1 = std::make_shared<StubSocket>(), s2 = std::make_shared<StubSocket>();
    queue->sync([&] {
        server->handleConnection(SocketProxyConnection::make(s1));
        server->handleConnection(SocketProxyConnection::make(s2));
    });
    EXPECT_EQ(server->handlerCount(), 2u);
    server->stop();
    queue->sync([] {});
    EXPECT_EQ(server->made[0]->cancels, 1);
    EXPECT_EQ(server->made[1]->cancels, 1);
    EXPECT_EQ(server->handlerCount(), 1u); // the one whose cancel failed is still live
    EXPECT_EQ(s1->closes + s2->closes, 1);
    int warnings = 0;
    for (auto& line : logger->lines())
        warnings += line.find("Failed to cancel handler: cannot cancel") != std::string::npos;
    EXPECT_EQ(warnings, 1);
}

// The stop's completion is what a server's owner waits for before its queue goes.
TEST(SocketServerTest, StopCompletesOnceTheLastHandlerHasEnded) {
    auto logger = CapturingLogger::install();
    auto queue = DispatchQueue::make("server");
    auto server = std::make_shared<FakeServer>(queue);
    std::atomic<int> ended{0};
    server->stop([&] { ++ended; });
    queue->sync([] {});
    EXPECT_EQ(ended, 1) << "no handler: at once";

    queue->sync([&] {
        server->handleConnection(SocketProxyConnection::make(std::make_shared<StubSocket>()));
        server->handleConnection(SocketProxyConnection::make(std::make_shared<StubSocket>()));
    });
    server->stop([&] { ++ended; });
    server->stop([&] { ended += 10; });
    queue->sync([] {});
    EXPECT_EQ(ended, 1) << "the handler whose cancel failed is still live";
    queue->sync([&] { server->made[0]->finish(); });
    EXPECT_EQ(ended, 12);
    queue->sync(
        [&] { server->handleConnection(SocketProxyConnection::make(std::make_shared<StubSocket>())); });
    queue->sync([&] { server->made[2]->finish(); });
    EXPECT_EQ(ended, 12) << "each completion runs once";
    logger->uninstall();
}

TEST(SocketServerTest, HandlerCompletingAfterServerIsGoneStillClosesItsConnection) {
    auto queue = DispatchQueue::make("server");
    auto server = std::make_shared<FakeServer>(queue);
    auto socket = std::make_shared<StubSocket>();
    queue->sync([&] { server->handleConnection(SocketProxyConnection::make(socket)); });
    auto handler = server->made[0];
    server.reset();
    queue->sync([&] { handler->finish(); });
    EXPECT_EQ(socket->closes, 1);
}

} // namespace
} // namespace pemtrox::test
