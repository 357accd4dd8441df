#include <gtest/gtest.h>

#include "platform/AsyncSocketError.h"
#include "platform/AsyncTcpSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/Identity.h"
#include "platform/TlsSocketLayer.h"
#include "tests/support/SocketPair.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using Bytes = AsyncTcpSocket::Bytes;

namespace {

/// The TLS layer the sockets run, as either side.
std::shared_ptr<AsyncTcpSocketTls> tlsLayer(bool server) {
    TlsSettings settings;
    settings.isServer = server;
    if (server)
        settings.certificates = Identity::fromPEM(test::TestCertificates::shared().leafKeyPEM,
                                                  test::TestCertificates::shared().chainPEM);
    else
        settings.peerName = "localhost";
    return TlsSocketLayer::make(settings);
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
