#include <cerrno>
#include <filesystem>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/AsyncSocketError.h"
#include "proxy/io/ClientSocket.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/ProxySocket.h"
#include "proxy/io/SocketError.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/ClientSocketServer.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

namespace {

const InetAddress loopback("localhost", "127.0.0.1");

struct DefaultSocketTest : ::testing::Test {
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("socket-test");
    std::shared_ptr<test::ClientSocketServer> server = test::ClientSocketServer::start(queue);

    void onQueue(const std::function<void()>& f) { queue->sync(f); }
    bool eventually(const std::function<bool()>& condition) {
        return test::waitFor([&] { return queue->onQueue([&] { return condition(); }); });
    }
    /// A connected client ProxySocket and the server's ClientSocket for it.
    std::pair<std::shared_ptr<ProxySocket>, std::shared_ptr<ClientSocket>> connectPair() {
        std::shared_ptr<ProxySocket> client;
        std::vector<std::string> outcomes;
        onQueue([&] {
            client = ProxySocket::connecting(loopback, server->port(), queue, [&](SocketConnectionState s) {
                outcomes.push_back(s.isConnected() ? "connected" : s.error()->description());
                EXPECT_EQ(s.socket(), std::static_pointer_cast<Socket>(client));
            });
        });
        // The accepted socket is the one whose peer is our client: with tests running side by
        // side, a stray connect from another process may reach this listener too.
        std::shared_ptr<ClientSocket> accepted;
        EXPECT_TRUE(eventually([&] {
            for (auto& c : server->clients)
                if (!outcomes.empty() && c->port() == client->localPort())
                    accepted = c;
            return accepted != nullptr;
        }));
        EXPECT_EQ(outcomes, std::vector<std::string>{"connected"});
        return {client, accepted};
    }
    void TearDown() override {
        server->stop();
        queue->sync([] {});
        for (auto key :
             {"ProxySocket", "ClientSocket", "DefaultSocket", "SocketInputStream", "SocketOutputStream"})
            EXPECT_TRUE(test::waitFor([&] {
                return Plumber::count(std::string("VornellPacketTunnel.") + key) == 0;
            })) << key;
    }
};

} // namespace

TEST_F(DefaultSocketTest, EchoThroughTheStreamsWithBothEndpointsKnown) {
    auto [client, accepted] = connectPair();
    auto atServer = test::EventLog::make(), atClient = test::EventLog::make();
    test::WriteLog writes;
    onQueue([&] {
        EXPECT_EQ(client->host(), "127.0.0.1");
        EXPECT_EQ(client->port(), server->port());
        EXPECT_EQ(accepted->host(), "127.0.0.1");
        EXPECT_EQ(accepted->port(), client->localPort());
        EXPECT_EQ(accepted->localPort(), server->port());
        EXPECT_LT(client->globalIndex(), accepted->globalIndex());
        atServer->onEvent = [&, accepted = accepted](const InputStreamEvent& e) {
            if (e.isData())
                accepted->outputStream()->write(e.data(), false, writes.completion());
        };
        accepted->inputStream()->handler(atServer->handler());
        accepted->inputStream()->readTo(toData("\n"));
        client->inputStream()->handler(atClient->handler());
        client->outputStream()->write(toData("hello\n"), false, writes.completion());
        client->inputStream()->read();
    });
    ASSERT_TRUE(eventually([&] { return atClient->trace.size() == 1; }));
    onQueue([&] {
        EXPECT_EQ(atClient->trace, std::vector<std::string>{"data:hello\n"});
        EXPECT_EQ(writes.results, (std::vector<std::string>{"ready", "ready"}));
        EXPECT_EQ(client->socketOutputStream()->buffered(), 0);
        client->close();
    });
    // Closing one end ends the other end's stream; its socket closes itself.
    onQueue([&] { accepted->inputStream()->read(); });
    ASSERT_TRUE(eventually([&] { return accepted->isClosed(); }));
    onQueue([&] {
        // The end may have been noticed before the read: then the read itself gets eof.
        EXPECT_NE(
            std::find(atServer->trace.begin(), atServer->trace.end(), "error:Connection closed by peer"),
            atServer->trace.end());
        atServer->onEvent = nullptr; // it holds the socket that holds it
    });
}

TEST_F(DefaultSocketTest, CloseSendsEverythingWrittenBeforeDisconnectingEvenWhenReleased) {
    auto pair = connectPair();
    auto client = pair.first;
    auto atClient = test::EventLog::make();
    Data big(300000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i % 251);
    test::WriteLog writes;
    onQueue([&] {
        auto accepted = std::move(pair.second);
        accepted->outputStream()->write(big, false, writes.completion());
        EXPECT_TRUE(writes.results.empty()); // over 4096: parked until sent
        accepted->close(nullptr, [&](ErrorPtr) { writes.results.push_back("closed"); });
        // Its owner lets go at once, as a server does when its handler is done.
        std::erase_if(server->clients, [](const auto& c) { return c->isClosed(); });
        atClient->onEvent = [&](const InputStreamEvent& e) {
            if (e.isData())
                client->inputStream()->read();
        };
        client->inputStream()->handler(atClient->handler());
        client->inputStream()->read();
    });
    ASSERT_TRUE(eventually([&] { return client->isClosed(); }));
    onQueue([&] {
        EXPECT_EQ(writes.results, (std::vector<std::string>{"ready", "closed"}));
        EXPECT_EQ(atClient->bytes, big);
        EXPECT_EQ(atClient->trace.back(), "error:Connection closed by peer");
        atClient->onEvent = nullptr; // it holds the socket that holds it
    });
}

TEST_F(DefaultSocketTest, FailedConnectsAreAnsweredOnceAndCloseTheSocket) {
    test::BlackHole hole;
    test::RefusingPort refusing;
    int freePort = refusing.port();
    struct Case {
        const char* name;
        InetAddress address;
        int port;
        double timeout;
        std::string outcome;    // what the callback gets
        std::string closeError; // what the socket closes with; "open" when it stays open
    };
    const std::vector<Case> cases{
        {"refused", loopback, freePort, 300, "Connection refused", "Socket error: Connection refused"},
        {"time-out", loopback, hole.port(), 0.2, "Attempt to connect to host timed out",
         "Socket error: Attempt to connect to host timed out"},
        {"no address", InetAddress("example.com", "example.com"), 80, 300,
         "Invalid host parameter (not a numeric address): example.com", "open"},
        {"bad port", loopback, 70000, 300, "Invalid port: 70000", "open"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> outcomes;
        std::shared_ptr<ProxySocket> socket;
        ErrorPtr closedWith;
        onQueue([&] {
            socket = ProxySocket::make(AsyncTcpSocket::make(queue), queue);
            socket->ConnectTimeout = c.timeout;
            EXPECT_EQ(socket->connectTimeout(), c.timeout); // what an intercepted handshake is bounded by
            socket->setDidCloseBlock([&](std::shared_ptr<Socket>, ErrorPtr e, CloseCompletion next) {
                closedWith = e;
                next(e);
            });
            socket->setConnectCallback([&](SocketConnectionState s) {
                outcomes.push_back(s.isConnected() ? "connected" : describe(s.error()));
            });
            try {
                socket->connect(c.address, c.port);
            } catch (const Error& e) {
                outcomes.push_back(e.description());
            }
        });
        if (c.closeError == "open") {
            onQueue([&] {
                EXPECT_EQ(outcomes, std::vector<std::string>{c.outcome});
                EXPECT_FALSE(socket->isClosed());
                socket->close();
            });
            continue;
        }
        ASSERT_TRUE(eventually([&] { return socket->isClosed(); }));
        onQueue([&] {
            EXPECT_EQ(outcomes, std::vector<std::string>{c.outcome});
            EXPECT_EQ(describe(closedWith), c.closeError);
            EXPECT_FALSE(socket->hasConnectCallback());
        });
    }
}

TEST_F(DefaultSocketTest, ClosingAPendingConnectReleasesItsDescriptorAtOnce) {
    test::BlackHole hole;
    auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    onQueue([&] {
        auto before = descriptors();
        std::vector<std::string> outcomes;
        auto socket = ProxySocket::connecting(loopback, hole.port(), queue, [&](SocketConnectionState s) {
            outcomes.push_back(describe(s.error()));
        });
        EXPECT_EQ(descriptors(), before + 1);
        socket->setConnectCallback(nullptr); // its asker has gone
        socket->close();
        EXPECT_EQ(descriptors(), before);
        EXPECT_TRUE(outcomes.empty());
    });
}

TEST_F(DefaultSocketTest, ConnectingReportsAStartFailureBeforeReturning) {
    onQueue([&] {
        std::vector<std::string> outcomes;
        auto socket = DefaultSocket::connecting(
            InetAddress("x", "not-an-address"), 80, queue,
            [&](SocketConnectionState s) { outcomes.push_back(describe(s.error())); });
        EXPECT_EQ(outcomes,
                  std::vector<std::string>{"Invalid host parameter (not a numeric address): not-an-address"});
        EXPECT_FALSE(socket->isClosed()); // the owner closes it
        socket->close();
    });
}

TEST_F(DefaultSocketTest, ADisconnectBeforeTheConnectCompletedFailsItAsClosedByPeer) {
    onQueue([&] {
        std::vector<std::string> outcomes;
        ErrorPtr closedWith = makeError<GenericError>("not closed");
        auto socket = DefaultSocket::make(AsyncTcpSocket::make(queue), queue);
        socket->setConnectCallback([&](SocketConnectionState s) { outcomes.push_back(describe(s.error())); });
        socket->setDidCloseBlock([&](std::shared_ptr<Socket>, ErrorPtr e, CloseCompletion next) {
            closedWith = e;
            next(e);
        });
        socket->socketDidDisconnect(nullptr);
        socket->socketDidDisconnect(nullptr);
        EXPECT_EQ(outcomes, std::vector<std::string>{"Connection closed by peer"});
        EXPECT_TRUE(socket->isClosed());
        EXPECT_EQ(closedWith, nullptr);
        EXPECT_TRUE(socket->socketDisconnected());
    });
}

TEST_F(DefaultSocketTest, LayerErrorsMapToSocketErrors) {
    using E = AsyncSocketError;
    struct Case {
        ErrorPtr error;
        std::string description;
    };
    const std::vector<Case> cases{
        {makeError<E>(E::socket(E::readTimeout)), "Connection timeout"},
        {makeError<E>(E::socket(E::closed)), "Connection closed by peer"},
        {makeError<E>(E::posix(ECONNRESET)), "Connection reset by peer"},
        {makeError<E>(E::socket(E::readMaxedOut)), InputStreamError::markerLimitExceeded().description()},
        {makeError<E>(E::socket(E::connectTimeout)), "Socket error: Attempt to connect to host timed out"},
        {makeError<E>(E::posix(EPIPE)), "Socket error: Broken pipe"},
        // The same numbers in the other domain are not those cases.
        {makeError<E>(E::posix(E::closed)), "Socket error: " + E::posix(E::closed).description()},
        {makeError<E>(E::socket(static_cast<E::Code>(ECONNRESET), "odd")), "Socket error: odd"},
        {makeError<GenericError>("foreign"), "Socket error: foreign"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(DefaultSocket::mapDisconnectError(c.error)), c.description);
    EXPECT_EQ(DefaultSocket::mapDisconnectError(nullptr), nullptr);
}

TEST_F(DefaultSocketTest, ReleasingAnOpenTcpSocketIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto q = DispatchQueue::make("death");
            q->sync([&] { ProxySocket::make(AsyncTcpSocket::make(q), q); });
        },
        "Socket deinit while not closed: VornellPacketTunnel\\.ProxySocket");
}
