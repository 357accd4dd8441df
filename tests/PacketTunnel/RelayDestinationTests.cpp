#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "PacketTunnel/PacketTunnelTCPProxyServer.h"
#include "PacketTunnel/PacketTunnelUDPProxyServer.h"
#include "PacketTunnel/lwipglue/icmp_bridge.h"
#include "PacketTunnel/lwipglue/relaydest.h"
#include "platform/AsyncUdpSocket.h"
#include "proxy/io/InetAddress.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::Packet;
using pemtrox::test::TcpPeer;

namespace {

const std::string app4 = "198.18.72.254", app6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";

// The address as the stack holds it, read by the C library rather than by the stack.
ip_addr_t stackAddress(const std::string& text) {
    ip_addr_t address{};
    std::uint32_t words[4];
    if (inet_pton(AF_INET, text.c_str(), words) == 1) {
        ip_addr_set_ip4_u32_val(address, words[0]);
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), words), 1) << text;
        IP_ADDR6(&address, words[0], words[1], words[2], words[3]);
    }
    return address;
}

TEST(RelayDestination, LoopbackUnspecifiedMulticastAndBroadcastAreRefusedTheirNeighboursNot) {
    const struct {
        const char* address;
        bool refused;
    } rows[] = {
        // IPv4 loopback is the whole of 127/8
        {"127.0.0.1", true},
        {"127.0.0.0", true},
        {"127.255.255.255", true},
        {"126.255.255.255", false},
        {"128.0.0.1", false},
        // unspecified: 0.0.0.0 alone
        {"0.0.0.0", true},
        {"0.0.0.1", false},
        // multicast is 224/4; of 240/4 only the limited broadcast
        {"224.0.0.0", true},
        {"239.255.255.255", true},
        {"223.255.255.255", false},
        {"240.0.0.0", false},
        {"255.255.255.254", false},
        {"255.255.255.255", true},
        // the proxy's own address and a subnet's directed broadcast (not knowable here)
        {"198.18.72.253", false},
        {"192.0.2.255", false},
        // IPv6
        {"::1", true},
        {"::", true},
        {"::2", false},
        {"ff00::", true},
        {"ff02::1", true},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
        {"feff:ffff::1", false},
        {"fe80::1", false},
        {"2001:db8::1", false},
        // IPv4-mapped: the IPv4 rules; IPv4-compatible and near-mapped prefixes are not mapped
        {"::ffff:127.0.0.1", true},
        {"::ffff:127.255.255.255", true},
        {"::ffff:0.0.0.0", true},
        {"::ffff:224.0.0.1", true},
        {"::ffff:255.255.255.255", true},
        {"::ffff:8.8.8.8", false},
        {"::ffff:126.255.255.255", false},
        {"::ffff:128.0.0.1", false},
        {"::ffff:223.255.255.255", false},
        {"::127.0.0.1", false},
        {"::fffe:7f00:1", false},
        {"0:0:1::ffff:7f00:1", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(relaydest_refused(stackAddress(row.address)), row.refused) << row.address;
}

TEST(RelayDestination, RefusalsLessThanTheGapApartAreOneBurst) {
    constexpr std::uint32_t gap = relaydest_burst_gap_ms;
    const struct {
        std::optional<std::uint32_t> last;
        std::uint32_t now;
        bool begins;
    } rows[] = {{std::nullopt, 0, true},
                {std::nullopt, 123456, true},
                {1000, 1000, false},
                {1000, 1000 + gap - 1, false},
                {1000, 1000 + gap, true},
                {0xFFFFFF00u, 0xFFFFFF00u + gap - 1, false}, // across the wrap
                {0xFFFFFF00u, 0xFFFFFF00u + gap, true}};
    for (const auto& row : rows)
        EXPECT_EQ(relaydest_burst_begins(row.last, row.now), row.begins)
            << (row.last ? std::to_string(*row.last) : "none") << " -> " << row.now;
}

struct RefusedCase {
    const char* name;
    std::string client, destination;
    // Answered with a destination unreachable from the tunnel's far end (else with nothing).
    bool answered;
    // Counted per packet. The stack itself drops TCP to multicast and broadcast, and
    // everything from an IPv4-mapped address, before it reaches a relay.
    std::size_t tcpRefused, udpRefused, icmpRefused;
};
void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

// Both relays and the proxy on the stack, as LWIP mode runs them, and ICMP bridge receivers
// that count what they would send on.
class RelayFixture : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        tcpRelay = PacketTunnelTCPProxyServer::make(queue);
        tcpRelay->start();
        udpRelay = PacketTunnelUDPProxyServer::make(queue);
        udpRelay->bind();
        proxy =
            PacketTunnelProxyServer::make(SSLSettings{}, queue, nullptr, SSLCAGenerator::make(dir.path()));
        proxy->bind(8888);
        auto count = [this](const ip_addr_t&, const std::uint8_t*, std::size_t) { ++echoesSentOn; };
        onStack([&] { icmp_bridge_set_icmp_block(count), icmp_bridge_set_icmp6_block(count); });
    }
    void TearDown() override {
        onStack([] { icmp_bridge_set_icmp_block(nullptr), icmp_bridge_set_icmp6_block(nullptr); });
        if (proxy)
            proxy->stopListening();
        if (udpRelay)
            udpRelay->stop();
        if (tcpRelay) {
            tcpRelay->stop();
            EXPECT_TRUE(test::waitFor([&] { return onStack([&] { return tcpRelay->socketCount(); }) == 0; }));
        }
        proxy.reset(), udpRelay.reset(), tcpRelay.reset();
        StackHarness::TearDown();
    }
    std::size_t connections() {
        return onStack([] { return LWIPStack::connections(); });
    }

    test::TempDir dir;
    std::shared_ptr<PacketTunnelTCPProxyServer> tcpRelay;
    std::shared_ptr<PacketTunnelUDPProxyServer> udpRelay;
    std::shared_ptr<PacketTunnelProxyServer> proxy;
    std::size_t echoesSentOn = 0; // on the stack's queue
};

class RefusedDestinationTest : public RelayFixture, public ::testing::WithParamInterface<RefusedCase> {};

// A SYN, a datagram and an echo request to a loopback address are answered with a
// destination unreachable (port unreachable, or administratively prohibited for the echo)
// from the tunnel's far end, which the app's kernel takes as it would not take a reset from
// loopback; to the others nothing comes back. Nothing is relayed: no connection, no socket,
// no echo sent on, and the proxy on the stack does not connect there. One warning for the
// burst; the totals at the tunnel's stop.
TEST_P(RefusedDestinationTest, RefusedWithoutAConnectionSocketOrEcho) {
    const auto& c = GetParam();
    bool v6 = c.client.find(':') != std::string::npos;
    std::string far = v6 ? app6 : "198.18.72.253";
    auto logger = test::CapturingLogger::install();
    for (std::uint32_t attempt = 0; attempt < 2; ++attempt) {
        auto syn = Packet::tcpSegment(c.client, 40000, c.destination, 22, Packet::syn);
        syn.seq = 1000 + attempt * 100;
        const struct {
            Packet packet;
            std::string answer;
        } sent[] = {
            {syn, v6 ? "1/4" : "3/3"},
            {Packet::udpDatagram(c.client, 5353, c.destination, 53, toData("query")), v6 ? "1/4" : "3/3"},
            {Packet::echoRequest(c.client, c.destination), v6 ? "1/1" : "3/13"}};
        for (const auto& one : sent) {
            send(one.packet);
            settle();
            auto written = flow->takeWritten();
            if (!c.answered) {
                EXPECT_TRUE(written.empty());
                continue;
            }
            ASSERT_EQ(written.size(), 1u) << "no answer";
            const Data& bytes = written[0].first;
            auto answer = Packet::parse(bytes).value_or(Packet{});
            std::size_t header = v6 ? 40 : 20;
            EXPECT_EQ(fmt::format("{} > {} {}/{}", answer.source, answer.destination, answer.icmpType,
                                  bytes.at(header + 1)),
                      fmt::format("{} > {} {}", far, c.client, one.answer));
            // It quotes the IP header and the transport's first 8 bytes as they were sent.
            auto sentBytes = one.packet.build();
            EXPECT_EQ(Data(bytes.end() - header - 8, bytes.end()),
                      Data(sentBytes.begin(), sentBytes.begin() + header + 8));
        }
        EXPECT_EQ(connections(), 0u);
        EXPECT_EQ(udpRelay->socketCount(), 0u);
        EXPECT_EQ(onStack([&] { return echoesSentOn; }), 0u);
        EXPECT_TRUE(proxy->refusedDestination(InetAddress(c.destination, c.destination), 22));
        EXPECT_EQ(relaydest_refusals().tcp, c.tcpRefused * (attempt + 1));
        EXPECT_EQ(relaydest_refusals().udp, c.udpRefused * (attempt + 1));
        EXPECT_EQ(relaydest_refusals().icmp, c.icmpRefused * (attempt + 1));
    }
    EXPECT_EQ(onStack([&] { return tcpRelay->socketCount(); }), 0u);
    bool counted = c.tcpRefused + c.udpRefused + c.icmpRefused > 0;
    EXPECT_EQ(logger->count("refused: loopback, unspecified, multicast and broadcast"), counted ? 1 : 0);
    iface->remove();
    EXPECT_EQ(logger->count(fmt::format("Tunnel input: {} TCP segments, {} UDP datagrams and {} ICMP echo "
                                        "requests to loopback, unspecified, multicast or broadcast "
                                        "destinations refused",
                                        2 * c.tcpRefused, 2 * c.udpRefused, 2 * c.icmpRefused)),
              counted ? 1 : 0)
        << fmt::format("{}", fmt::join(logger->lines(), "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, RefusedDestinationTest,
    ::testing::Values(RefusedCase{"loopback4", app4, "127.0.0.1", true, 1, 1, 1},
                      RefusedCase{"loopbackNet4", app4, "127.1.2.3", true, 1, 1, 1},
                      RefusedCase{"loopback6", app6, "::1", true, 1, 1, 1},
                      RefusedCase{"unspecified6", app6, "::", false, 1, 1, 1},
                      RefusedCase{"multicast6", app6, "ff02::1", false, 0, 1, 1},
                      // the stack takes 0.0.0.0 for a broadcast address
                      RefusedCase{"unspecified4", app4, "0.0.0.0", false, 0, 1, 1},
                      RefusedCase{"multicast4", app4, "224.0.0.1", false, 0, 1, 1},
                      RefusedCase{"broadcast4", app4, "255.255.255.255", false, 0, 1, 1},
                      RefusedCase{"mappedLoopback", app6, "::ffff:127.0.0.1", true, 1, 1, 1},
                      RefusedCase{"mappedUnspecified", app6, "::ffff:0.0.0.0", false, 1, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

using AllowedDestinationTest = RelayFixture;

// Beside the refusals: the proxy on the stack still answers, of both families, and the
// neighbours of refused addresses are relayed (and proxied); nothing of it is counted.
TEST_F(AllowedDestinationTest, ProxyAndNeighboursOfRefusedAddressesAreServed) {
    auto logger = test::CapturingLogger::install();
    const struct {
        std::string client, destination;
        std::uint16_t port;
    } rows[] = {{app4, "198.18.72.253", 8888}, {app6, "2001:db8::1", 8888},   {app4, "128.0.0.1", 22},
                {app4, "126.255.255.255", 22}, {app4, "223.255.255.255", 22}, {app6, "::2", 22}};
    std::uint16_t clientPort = 41000;
    for (const auto& row : rows) {
        TcpPeer peer(*this, row.client, ++clientPort, row.destination, row.port);
        peer.syn();
        EXPECT_TRUE(
            peer.waitUntil([&] { return peer.synAckReceived || peer.rstReceived; }, std::chrono::seconds(5)));
        EXPECT_TRUE(peer.synAckReceived) << row.destination;
        EXPECT_FALSE(proxy->refusedDestination(InetAddress(row.destination, row.destination), row.port));
        peer.nextSeq = 1001;
        peer.rst(); // gone before the relay dials out
        settle();
        std::erase(peers, &peer);
    }
    EXPECT_TRUE(test::waitFor([&] { return connections() == 0; }));
    EXPECT_EQ(relaydest_refusals().tcp, 0u);
    EXPECT_FALSE(logger->contains("refused: loopback"));
}

} // namespace
