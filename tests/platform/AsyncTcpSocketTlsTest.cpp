#include <deque>
#include <optional>

#include <gtest/gtest.h>

#include "platform/AsyncSocketError.h"
#include "platform/AsyncTcpSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/Identity.h"
#include "platform/TlsDriver.h"
#include "tests/support/HeldHandshakeWorkers.h"
#include "tests/support/SocketPair.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using Bytes = AsyncTcpSocket::Bytes;
using Status = TlsEngine::Status;

namespace {

TlsSettings tlsSettings(bool server) {
    TlsSettings settings;
    settings.isServer = server;
    if (server)
        settings.certificates = Identity::fromPEM(test::TestCertificates::shared().leafKeyPEM,
                                                  test::TestCertificates::shared().chainPEM);
    else
        settings.peerName = "localhost";
    return settings;
}

/// The TLS driver the sockets run, as either side (its handshake steps on the shared workers).
std::shared_ptr<TlsDriver> tlsLayer(bool server) {
    return TlsDriver::make(tlsSettings(server));
}

/// A server driver whose handshake steps wait in `workers`.
std::shared_ptr<TlsDriver> heldServerLayer(const std::shared_ptr<test::HeldHandshakeWorkers>& workers) {
    auto layer = TlsDriver::make(tlsSettings(true));
    layer->setHandshakeWorkers(workers);
    return layer;
}

} // namespace

TEST(AsyncTcpSocketTls, PlainBytesBeforeStartTlsThenEncryptedBothWays) {
    test::TrustTestRoot trust;
    test::SocketPair p;
    // Both sides queue plaintext, then TLS, then more: the order holds on each side.
    p.client->writeData(Bytes{'p', 'l', 'a', 'i', 'n'}, -1, 1);
    p.client->startTLS(tlsLayer(false));
    p.client->writeData(Bytes{'s', 'e', 'c', 'r', 'e', 't'}, -1, 2);
    p.server->readDataToLength(5, -1, 1);
    p.server->startTLS(tlsLayer(true));
    p.server->readDataToLength(6, -1, 2);
    ASSERT_TRUE(test::waitFor([&] { return p.serverEvents->has("read 2 secret"); }));
    EXPECT_EQ(p.serverEvents->snapshot(),
              (std::vector<std::string>{"read 1 plain", "secure", "read 2 secret"}));
    auto clientLog = p.clientEvents->snapshot();
    EXPECT_EQ(std::vector<std::string>(clientLog.begin() + 1, clientLog.end()),
              (std::vector<std::string>{"write 1", "secure", "write 2"}));

    Bytes big(100000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 13);
    p.server->writeData(big, -1, 3);
    p.client->readDataToLength(big.size(), -1, 3);
    ASSERT_TRUE(test::waitFor([&] { return p.clientEvents->has("read 3 100000"); }));
    EXPECT_EQ(p.clientEvents->lastRead(), big);
    // The close alert reaches the peer before the connection ends; the peer sees its close.
    p.client->disconnectAfterWriting();
    p.server->readData(-1, 100, 4);
    ASSERT_TRUE(
        test::waitFor([&] { return p.serverEvents->has("disconnect Socket closed by remote peer"); }));
    EXPECT_EQ(p.serverEvents->snapshot().back(), "disconnect Socket closed by remote peer");
}

TEST(AsyncTcpSocketTls, DisconnectAfterWritingSendsEveryQueuedPieceBeforeTheCloseAlert) {
    test::TrustTestRoot trust;
    for (bool duringHandshake : {false, true}) {
        SCOPED_TRACE(duringHandshake ? "during the handshake" : "once secure");
        test::SocketPair p;
        p.server->startTLS(tlsLayer(true));
        // Queued during the handshake, the pieces and the disconnect wait for it to finish.
        if (!duringHandshake) {
            p.client->startTLS(tlsLayer(false));
            ASSERT_TRUE(test::waitFor(
                [&] { return p.clientEvents->has("secure") && p.serverEvents->has("secure"); }));
        }

        // Pieces queued behind one another (the first is still on the wire when the rest and
        // the disconnect arrive), then the disconnect in the same turn of the queue.
        Bytes expected;
        p.queue->sync([&] {
            if (duringHandshake)
                p.client->startTLS(tlsLayer(false));
            for (long piece = 1; piece <= 6; ++piece) {
                Bytes bytes(piece == 1 ? 300000 : 1000 * static_cast<std::size_t>(piece));
                for (std::size_t i = 0; i < bytes.size(); ++i)
                    bytes[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(piece));
                expected.insert(expected.end(), bytes.begin(), bytes.end());
                p.client->writeData(std::move(bytes), -1, piece);
            }
            p.client->disconnectAfterWriting();
        });
        p.server->readDataToLength(expected.size(), -1, 7);
        ASSERT_TRUE(test::waitFor([&] {
            return p.serverEvents->has("read 7 " + std::to_string(expected.size()));
        })) << p.clientEvents->snapshot().back()
            << " / " << p.serverEvents->snapshot().back();
        EXPECT_TRUE(p.serverEvents->lastRead() == expected);
        // Then the close alert: the next read ends with the peer's clean close.
        p.server->readData(-1, 100, 8);
        ASSERT_TRUE(test::waitFor([&] { return p.clientEvents->has("disconnect "); }))
            << p.clientEvents->snapshot().back();
        ASSERT_TRUE(
            test::waitFor([&] { return p.serverEvents->has("disconnect Socket closed by remote peer"); }));
        auto clientLog = p.clientEvents->snapshot();
        ASSERT_GE(clientLog.size(), 7u);
        EXPECT_EQ(std::vector<std::string>(clientLog.end() - 7, clientLog.end()),
                  (std::vector<std::string>{"write 1", "write 2", "write 3", "write 4", "write 5", "write 6",
                                            "disconnect -"}))
            << ::testing::PrintToString(clientLog);
    }
}

// The server's answer to a hello runs on a worker; whatever becomes of its socket meanwhile,
// the step that comes back must not touch it, and the layer must not stay behind.
enum class WhileAway { closed, closedWithTheAnswerQueued, ownerGone, queueGone };

class AsyncTcpSocketTlsStepAway : public ::testing::TestWithParam<WhileAway> {};

TEST_P(AsyncTcpSocketTlsStepAway, TheStepComingBackTouchesNothingAndFreesTheLayer) {
    test::TrustTestRoot trust;
    auto workers = test::HeldHandshakeWorkers::make();
    std::optional<test::SocketPair> pair;
    pair.emplace();
    auto& p = *pair;
    auto layer = heldServerLayer(workers);
    std::weak_ptr<TlsDriver> weakLayer = layer;
    p.server->startTLS(std::move(layer));
    p.client->startTLS(tlsLayer(false));
    ASSERT_TRUE(workers->waitForHeld(1));
    auto events = p.serverEvents;

    switch (GetParam()) {
    case WhileAway::closed:
        p.server->disconnect();
        workers->releaseOne();
        break;
    case WhileAway::closedWithTheAnswerQueued:
        // The answer is on the queue behind the close.
        p.queue->sync([&] {
            workers->releaseOne();
            p.server->disconnect();
        });
        break;
    case WhileAway::ownerGone:
        p.queue->sync([&] {
            p.server.reset();
            p.listenerEvents->dropAccepted(); // the listener's record held it too
        });
        workers->releaseOne();
        break;
    case WhileAway::queueGone:
        pair.reset(); // the worker finds no queue to answer to and lets the step go
        workers->releaseOne();
        break;
    }
    if (pair) {
        p.queue->sync([] {}); // the answer's turn
        p.queue->sync([] {});
    }
    auto log = events->snapshot();
    EXPECT_FALSE(events->has("secure")) << ::testing::PrintToString(log);
    EXPECT_LE(log.size(), 1u) << ::testing::PrintToString(log); // at most the local close
    pair.reset();
    EXPECT_TRUE(test::waitFor([&] { return weakLayer.expired(); }));
    EXPECT_EQ(workers->held(), 0u);
}

std::string whileAwayName(const ::testing::TestParamInfo<WhileAway>& info) {
    static const char* const names[] = {"Closed", "ClosedWithTheAnswerQueued", "OwnerGone", "QueueGone"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(AsyncTcpSocketTls, AsyncTcpSocketTlsStepAway,
                         ::testing::Values(WhileAway::closed, WhileAway::closedWithTheAnswerQueued,
                                           WhileAway::ownerGone, WhileAway::queueGone),
                         whileAwayName);

TEST(AsyncTcpSocketTls, OneStepAwayAtATimeAndBytesArrivingMeanwhileAreTheNextStepsWork) {
    test::TrustTestRoot trust;
    auto workers = test::HeldHandshakeWorkers::make();
    test::SocketPair p;
    // The client is an engine in memory behind the plain client socket: the test decides
    // how its hello reaches the server.
    std::deque<std::uint8_t> fromServer;
    Bytes toServer;
    auto client = TlsEngine::make(TlsEngine::Side::client);
    ASSERT_EQ(client->setPeerName("localhost"), TlsEngine::noErr);
    client->setIOFuncs(
        [&](std::uint8_t* destination, std::size_t& length) {
            std::size_t n = std::min(length, fromServer.size());
            std::copy_n(fromServer.begin(), n, destination);
            fromServer.erase(fromServer.begin(), fromServer.begin() + static_cast<std::ptrdiff_t>(n));
            bool all = n == length;
            length = n;
            return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
        },
        [&](const std::uint8_t* source, std::size_t& length) {
            toServer.insert(toServer.end(), source, source + length);
            return TlsEngine::noErr;
        });
    ASSERT_EQ(client->handshake(), TlsEngine::wouldBlock);
    Bytes hello = std::exchange(toServer, {});
    std::size_t half = hello.size() / 2;

    p.server->startTLS(heldServerLayer(workers));
    p.client->writeData(Bytes(hello.begin(), hello.begin() + static_cast<std::ptrdiff_t>(half)), -1, 1);
    ASSERT_TRUE(workers->waitForHeld(1));
    // The rest arrives while the first half's step is away: it waits for that step.
    p.client->writeData(Bytes(hello.begin() + static_cast<std::ptrdiff_t>(half), hello.end()), -1, 2);
    ASSERT_TRUE(test::waitFor([&] { return p.server->bufferedInput() == hello.size() - half; }));
    EXPECT_EQ(workers->held(), 1u);
    workers->releaseOne(); // half a hello: nothing to answer yet
    ASSERT_TRUE(workers->waitForHeld(1));
    workers->releaseOne(); // the whole hello: the server's answer

    Status status = TlsEngine::wouldBlock;
    for (long tag = 10; tag < 40 && status == TlsEngine::wouldBlock; ++tag) {
        p.client->readData(-1, 65536, tag);
        ASSERT_TRUE(test::waitFor([&] { return p.clientEvents->has("read " + std::to_string(tag)); }));
        auto bytes = p.clientEvents->lastRead();
        fromServer.insert(fromServer.end(), bytes.begin(), bytes.end());
        status = client->handshake();
    }
    ASSERT_EQ(status, TlsEngine::noErr);
    p.client->writeData(std::exchange(toServer, {}), -1, 3);
    // The client's last message is checked on the queue: no step waits for a worker.
    ASSERT_TRUE(test::waitFor([&] { return p.serverEvents->has("secure"); }));
    EXPECT_EQ(workers->held(), 0u);
}
