#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/ProxyHandler.h"
#include "proxy/engine/SocketProxyConnection.h"
#include "proxy/engine/SocketProxyServer.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InetAddress.h"
#include "proxy/io/NullOutputStream.h"
#include "proxy/io/Socket.h"
#include "tests/support/TestSupport.h"

namespace pemtrox {
namespace {

// Answers each request head on the connection with its first line and the client's
// address, until the client goes away or the handler is cancelled.
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
            std::string body = *result.value()->firstLine() + " from " +
                               (address ? address->address() : "?") + ":" +
                               std::to_string(self->connection_->port().value_or(-1));
            std::string response =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
            self->connection_->outputStream()->write(toData(response), true,
                                                     [self](OutputStreamWriteHandlerResult written) {
                                                         if (written.isError())
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

// A blocking TCP client.
class Client {
public:
    explicit Client(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval timeout{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& text) {
        ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
    }
    // Reads until `count` bytes arrived or the peer closed.
    std::string receive(std::size_t count) {
        std::string data;
        char buf[4096];
        while (data.size() < count) {
            auto n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        return data;
    }
    // True when the peer closed the connection.
    bool closedByPeer() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }
    int localPort() const {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }

private:
    int fd_;
    bool connected_ = false;
};

class SocketProxyServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue = DispatchQueue::make("server");
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
        EXPECT_TRUE(test::waitFor([&] { return server->handlerCount() == 0; }));
        queue->sync([&] { server.reset(); });
        EXPECT_TRUE(test::waitFor(
            [] { return Plumber::count(std::string(plumberModuleName) + ".SocketProxyConnection") == 0; }));
    }
    std::string expectedBody(const std::string& line, const Client& client) {
        return line + " from 127.0.0.1:" + std::to_string(client.localPort());
    }
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<EchoServer> server;
    int port = 0;
};

TEST_F(SocketProxyServerTest, ServesConcurrentKeepAliveClients) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int c = 0; c < 8; ++c) {
        threads.emplace_back([&, c] {
            Client client(port);
            if (!client.connected())
                return;
            for (int r = 0; r < 20; ++r) {
                std::string line = "GET /" + std::to_string(c) + "/" + std::to_string(r) + " HTTP/1.1";
                client.send(line + "\r\nHost: x\r\n\r\n");
                auto body = expectedBody(line, client);
                auto head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
                if (client.receive(head.size() + body.size()) == head + body)
                    ++good;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, 8 * 20);
}

TEST_F(SocketProxyServerTest, HandlerEndClosesTheClientConnection) {
    Client client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET / HTTP/1.1\r\nbroken line\r\n\r\n");
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(test::waitFor([&] { return server->handlerCount() == 0; }));
}

TEST_F(SocketProxyServerTest, StopCancelsIdleHandlers) {
    Client a(port), b(port);
    ASSERT_TRUE(a.connected() && b.connected());
    ASSERT_TRUE(test::waitFor([&] { return server->handlerCount() == 2; }));
    server->stop();
    EXPECT_TRUE(a.closedByPeer());
    EXPECT_TRUE(b.closedByPeer());
    EXPECT_TRUE(test::waitFor([&] { return server->handlerCount() == 0; }));
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

// A socket whose endpoints the test sets; closing is counted.
class StubSocket : public Socket {
public:
    std::shared_ptr<MyInputStream> inputStream() const override { return input_; }
    std::shared_ptr<MyOutputStream> outputStream() const override { return output_; }
    std::optional<std::string> host() const override { return host_; }
    std::optional<int> port() const override { return port_; }
    std::optional<std::string> localHost() const override { return localHost_; }
    std::optional<int> localPort() const override { return localPort_; }
    bool isClosed() const override { return closes > 0; }
    void close(ErrorPtr error, CloseCompletion completion) override {
        ++closes;
        if (completion)
            completion(error);
    }
    std::optional<std::string> host_, localHost_;
    std::optional<int> port_, localPort_;
    int closes = 0;

private:
    std::shared_ptr<MyInputStream> input_ = ByteArrayInputStream::make(Data());
    std::shared_ptr<MyOutputStream> output_ = NullOutputStream::make();
};

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

} // namespace
} // namespace pemtrox
