#include <thread>

#include <gtest/gtest.h>

#include "proxy/io/Plumber.h"

#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "tests/support/TestOrigin.h"
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
    auto server =
        PacketTunnelProxyServer::make(SSLSettings{}, queue, nullptr, SSLCAGenerator::make(dir.path()));
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

// Parameter cases print as their names in listings and failures.
struct LeaveCase {
    const char* name;
    bool serverAnswers;  // else its connect never completes
    bool sendsMore;      // bytes after the head: the client may still wait for the answer
    bool resets;         // the client leaves with a reset instead of a FIN
    bool waitsForAnswer; // the exchange goes on after the client's end
};

void PrintTo(const LeaveCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientLeavesTest : public StackProxyTest, public ::testing::WithParamInterface<LeaveCase> {};

// A client of the proxy on the stack that leaves a CONNECT before its answer: while the
// server is being connected to, the handler notices within its client check and drops the
// connect; a server that answered is let go once the tunnel ends. Either way no socket to
// the server is left behind. A client that ended its side after more than its head may
// still want the answer: it is served until it resets.
TEST_P(ClientLeavesTest, NoServerSocketIsLeftBehind) {
    const auto& c = GetParam();
    test::TempDir dir;
    test::BlackHole hole;
    test::TestOrigin origin([](test::OriginConnection& connection, test::TestOrigin&) {
        connection.readToEnd();
        connection.close();
    });
    int port = c.serverAnswers ? origin.port() : hole.port();
    auto server =
        PacketTunnelProxyServer::make(SSLSettings{}, queue, nullptr, SSLCAGenerator::make(dir.path()));
    server->setRefusesLoopback(false); // the origin listens on 127.0.0.1
    server->bind(8888);
    // The sockets to the server's port (the black hole keeps some of its own there).
    auto serverSockets = [&] {
        return test::runCommand("ss -Htn state syn-sent state established state close-wait '( dport = :" +
                                std::to_string(port) + " )' | wc -l");
    };
    auto before = serverSockets();
    TcpPeer peer(*this, app4, 42000, proxy4, 8888);
    ASSERT_TRUE(peer.connect());
    auto target = "127.0.0.1:" + std::to_string(port);
    peer.send("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n" +
              (c.sendsMore ? "\x16\x03" : ""));
    if (c.resets)
        peer.rst();
    else
        peer.fin();
    auto handlers = [&] { return onStack([&] { return server->handlerCount(); }); };
    if (c.waitsForAnswer) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_EQ(handlers(), 1u) << "a client that sent more may still wait for the answer";
        peer.rst();
    }
    EXPECT_TRUE(peer.waitUntil([&] { return handlers() == 0; }, std::chrono::seconds(5)));
    EXPECT_TRUE(
        test::waitFor([&] { return Plumber::count(std::string(plumberModuleName) + ".ProxySocket") == 0; }));
    EXPECT_TRUE(test::waitFor([&] { return serverSockets() == before; }))
        << test::runCommand("ss -tan '( dport = :" + std::to_string(port) + " )'");
    server->stopListening();
    server->stop();
}

INSTANTIATE_TEST_SUITE_P(Leaves, ClientLeavesTest,
                         ::testing::Values(LeaveCase{"WhileConnecting", false, false, false, false},
                                           LeaveCase{"WithAResetWhileConnecting", false, false, true, false},
                                           LeaveCase{"AsTheServerAnswers", true, false, false, false},
                                           LeaveCase{"AfterMoreThanItsHead", false, true, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
