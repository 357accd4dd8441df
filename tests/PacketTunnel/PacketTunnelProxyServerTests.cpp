#include <gtest/gtest.h>

#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::TcpPeer;

namespace {

const std::string app4 = "198.18.72.254", app6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";
const std::string proxy4 = "198.18.72.253";

class StackProxyTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        server =
            PacketTunnelProxyServer::make(SSLSettings{}, queue, nullptr, SSLCAGenerator::make(dir.path()));
        server->addProxyListener(listener);
        server->bind(8888, "ignored");
    }
    void TearDown() override {
        if (server) {
            server->stopListening();
            EXPECT_TRUE(test::waitFor([&] { return server->handlerCount() == 0; }));
            listener->clear();
            server.reset();
        }
        StackHarness::TearDown();
    }
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

    test::TempDir dir;
    std::shared_ptr<PacketTunnelProxyServer> server;
    std::shared_ptr<test::RecordingProxyListener> listener = std::make_shared<test::RecordingProxyListener>();
    std::uint16_t nextPort = 41000;
};

// An app that uses the proxy settings reaches the engine through the stack: its request is
// forwarded, the response comes back, and the exchange is seen by the listeners.
TEST_F(StackProxyTest, RequestThroughTheStackIsServedByTheEngine) {
    test::TestOrigin origin(test::TestOrigin::answering("hello"));
    auto target = "127.0.0.1:" + std::to_string(origin.port());
    TcpPeer peer(*this, app4, 40000, proxy4, 8888);
    ASSERT_TRUE(peer.connect());
    peer.send("GET http://" + target + "/path HTTP/1.1\r\nHost: " + target + "\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(peer.waitUntil([&] { return peer.finReceived; }));
    EXPECT_EQ(peer.received.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(peer.received.substr(peer.received.size() - 5), "hello");
    ASSERT_TRUE(test::waitFor([&] { return !listener->exchanges("complete").empty(); }));
    auto evt = listener->exchanges("complete").at(0);
    EXPECT_EQ(evt->path(), "/path");
    EXPECT_EQ(server->localPort(), 8888);
}

// The listener takes both families on its port only; a second bind of the port fails and
// keeps the first; after stopListening (twice is harmless) nothing answers.
TEST_F(StackProxyTest, ListensOnItsPortUntilStopped) {
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
    server->stopListening();
    server->stopListening();
    second->stopListening();
    EXPECT_FALSE(answered(app4, proxy4, 8888));
    EXPECT_EQ(server->localPort(), std::nullopt);
}

} // namespace
