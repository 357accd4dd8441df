#include <gtest/gtest.h>

#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::TcpPeer;

namespace {

const std::string app4 = "198.18.72.254", app6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";
const std::string proxy4 = "198.18.72.253";

class StackProxyTest : public test::StackHarness {
protected:
    // Whether a SYN to the address and port is answered with a SYN-ACK (else a reset).
    bool answered(const std::string& from, const std::string& to, std::uint16_t port) {
        TcpPeer peer(*this, from, ++nextPort, to, port);
        send(test::Packet::tcpSegment(from, peer.clientPort, to, port, test::Packet::syn));
        peer.waitUntil([&] { return peer.rstReceived || peer.synAckReceived; });
        peer.nextSeq = 1001;
        if (peer.synAckReceived)
            peer.rst(); // the half-open connection goes before it is accepted
        settle();
        std::erase(peers, &peer);
        return peer.synAckReceived;
    }

    std::uint16_t nextPort = 41000;
};

// The listener takes both families on its port only; a second bind of the port fails and
// keeps the first; after stopListening (twice is harmless) nothing answers.
TEST_F(StackProxyTest, ListensOnItsPortUntilStopped) {
    test::TempDir dir;
    auto server = PacketTunnelProxyServer::make(SSLSettings{}, queue, nullptr, SSLCAGenerator::make(dir.path()));
    server->bind(8888, "ignored");
    EXPECT_TRUE(answered(app4, "203.0.113.7", 8888));
    EXPECT_TRUE(answered(app6, "2001:db8::7", 8888));
    EXPECT_FALSE(answered(app4, proxy4, 8080));
    auto second = PacketTunnelProxyServer::make(SSLSettings{}, queue, nullptr, server->ca());
    for (int port : {8888, -1, 65536}) {
        try {
            second->bind(port);
            ADD_FAILURE() << port;
        } catch (const Error& e) {
            EXPECT_EQ(e.description(), "Bind failure");
        }
    }
    EXPECT_TRUE(answered(app4, proxy4, 8888));
    EXPECT_EQ(server->localPort(), 8888);
    server->stopListening();
    server->stopListening();
    second->stopListening();
    EXPECT_FALSE(answered(app4, proxy4, 8888));
    EXPECT_EQ(server->localPort(), std::nullopt);
}

} // namespace
