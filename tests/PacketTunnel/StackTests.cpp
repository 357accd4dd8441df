#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPHelpers.h"
#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/TunnelInterface.h"
#include "PacketTunnel/lwipglue/icmp_bridge.h"
#include "PacketTunnel/lwipglue/lwipmem.h"
#include "PacketTunnel/lwipglue/netunif.h"
#include "PacketTunnel/lwipglue/pcbindex.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/sys.h"
#include "lwip/tcp.h"
#include "lwip/timeouts.h"
#include "lwip/udp.h"
#include "platform/DispatchQueue.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/MemoryPacketFlow.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::Packet;

namespace {

const std::string client4 = "198.18.72.254", client6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";

std::string upper(std::string text) { // how the stack writes IPv6 addresses
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// Parameter cases name themselves, in test names and in listings.
template <class Case> std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}
template <class Case>
requires requires(Case c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The stack on an in-memory flow, with a look at what it writes and what its listeners accept.
class StackTest : public test::StackHarness {
protected:
    Packet writtenPacket() {
        EXPECT_TRUE(flow->waitForWritten(1)) << "nothing written";
        auto written = flow->takeWritten();
        EXPECT_EQ(written.size(), 1u);
        auto packet = written.empty() ? std::nullopt : Packet::parse(written[0].first);
        EXPECT_TRUE(packet && written[0].second == (packet->version == 6 ? AF_INET6 : AF_INET));
        return packet.value_or(Packet{});
    }
    // A catch-all listener (any family, port 0) and the proxy's (IPv4 any-address, 8888).
    void listen() {
        queue->sync([&] {
            tcp_pcb* bound = tcp_new();
            tcp_bind(bound, IP4_ADDR_ANY, 8888);
            proxy = tcp_listen_with_backlog(bound, 255);
            for (tcp_pcb* listener :
                 {proxy, tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255)}) {
                tcp_arg(listener, this);
                tcp_accept(listener, [](void* arg, tcp_pcb* pcb, err_t) -> err_t {
                    auto* self = static_cast<StackTest*>(arg);
                    bool byProxy = pcb->listener == reinterpret_cast<tcp_pcb_listen*>(self->proxy);
                    self->accepted.push_back(
                        {byProxy, LWIPHelpers::ipAddrToString(pcb->local_ip), pcb->local_port});
                    return ERR_OK;
                });
            }
        });
    }
    // The client's SYN and ACK; returns the stack's SYN-ACK.
    Packet connect(const std::string& from, const std::string& to, std::uint16_t port) {
        send(Packet::tcpSegment(from, 40000, to, port, Packet::syn));
        auto synAck = writtenPacket();
        auto ack = Packet::tcpSegment(from, 40000, to, port, Packet::ack);
        ack.seq = 1001, ack.ackNumber = synAck.seq + 1;
        send(ack);
        settle();
        return synAck;
    }

    struct Accepted {
        bool byProxy;
        std::string host;
        std::uint16_t port;
    };
    tcp_pcb* proxy = nullptr;
    std::vector<Accepted> accepted; // on the queue
};

TEST_F(StackTest, SecondInitialisationIsRefused) {
    EXPECT_THROW(LWIPStack::initialise(), LWIPStackError);
}

struct SynCase {
    const char* name;
    std::string client, destination;
    std::uint16_t port;
    bool byProxy;
};

class TcpCatchAllTest : public StackTest, public ::testing::WithParamInterface<SynCase> {};

TEST_P(TcpCatchAllTest, SynIsAnsweredFromTheDialledEndpointAndAccepted) {
    const auto& c = GetParam();
    listen();
    auto synAck = connect(c.client, c.destination, c.port);
    EXPECT_EQ(synAck.flags, Packet::syn | Packet::ack);
    EXPECT_EQ(synAck.source + ":" + std::to_string(synAck.sourcePort),
              c.destination + ":" + std::to_string(c.port));
    EXPECT_EQ(synAck.destination + ":" + std::to_string(synAck.destinationPort), c.client + ":40000");
    EXPECT_EQ(synAck.ackNumber, 1001u);
    EXPECT_EQ(synAck.window, 65535);
    EXPECT_EQ(synAck.mss, 1460); // the interface has no MTU to clamp it, IPv6 included
    queue->sync([&] {
        ASSERT_EQ(accepted.size(), 1u);
        EXPECT_EQ(accepted[0].byProxy, c.byProxy);
        EXPECT_EQ(accepted[0].host, upper(c.destination));
        EXPECT_EQ(accepted[0].port, c.port);
    });
}

// An app that reuses its port while the stack still holds the connection it closed first
// in TIME_WAIT gets a new connection, not a stale ACK that leaves it retrying its SYN; the
// TIME_WAIT connection leaves no record, counted or indexed. Twice over the same port.
TEST_F(StackTest, SynReusingAPortInTimeWaitIsAccepted) {
    listen();
    auto synAck = connect(client4, "203.0.113.5", 443);
    std::uint32_t clientNext = 1001;
    for (std::size_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        queue->sync([&] {
            ASSERT_EQ(accepted.size(), round);
            for (tcp_pcb* pcb = tcp_active_pcbs; pcb; pcb = pcb->next)
                if (pcb->local_port == 443)
                    tcp_close(pcb); // the stack's side ends first
        });
        auto fin = writtenPacket();
        EXPECT_TRUE(fin.flags & Packet::fin);
        auto finAck = Packet::tcpSegment(client4, 40000, "203.0.113.5", 443, Packet::fin | Packet::ack);
        finAck.seq = clientNext, finAck.ackNumber = synAck.seq + 2;
        send(finAck);
        EXPECT_EQ(writtenPacket().flags, Packet::ack); // now in TIME_WAIT
        queue->sync([] { ASSERT_NE(tcp_tw_pcbs, nullptr); });
        auto again = Packet::tcpSegment(client4, 40000, "203.0.113.5", 443, Packet::syn);
        again.seq = clientNext + 100000;
        send(again);
        synAck = writtenPacket();
        EXPECT_EQ(synAck.flags, Packet::syn | Packet::ack);
        EXPECT_EQ(synAck.ackNumber, again.seq + 1);
        queue->sync([] {
            EXPECT_EQ(tcp_tw_pcbs, nullptr);
            EXPECT_EQ(lwipmem_connections(), 1u) << "the TIME_WAIT connection is still counted";
            EXPECT_EQ(tcp_pcb_index_size(), 1u) << "the TIME_WAIT connection is still indexed";
        });
        clientNext = again.seq + 1;
        auto ack = Packet::tcpSegment(client4, 40000, "203.0.113.5", 443, Packet::ack);
        ack.seq = clientNext, ack.ackNumber = synAck.seq + 1;
        send(ack);
        settle();
    }
    queue->sync([&] { EXPECT_EQ(accepted.size(), 3u); });
}

INSTANTIATE_TEST_SUITE_P(Destinations, TcpCatchAllTest,
                         ::testing::Values(SynCase{"anyAddress", client4, "203.0.113.5", 443, false},
                                           SynCase{"proxy", client4, "198.18.72.253", 8888, true},
                                           SynCase{"proxyPortElsewhere", client4, "203.0.113.9", 8888, true},
                                           SynCase{"ipv6", client6, "2001:db8::5", 443, false},
                                           // the proxy listens on the IPv4 any-address only
                                           SynCase{"ipv6ProxyPort", client6, "2001:db8::5", 8888, false}),
                         caseName<SynCase>);

struct UdpCase {
    const char* name;
    std::string client, destination;
    std::size_t size;
    std::uint16_t fragment;
    bool oneByteOver;      // a byte past the largest IP packet
    std::size_t replySize; // 0: the datagram must not arrive
};

class UdpCatchAllTest : public StackTest, public ::testing::WithParamInterface<UdpCase> {
public:
    std::vector<std::string> datagrams; // on the queue
};

// The catch-all answers each datagram from its destination through a pcb of its own.
TEST_P(UdpCatchAllTest, DatagramArrivesWithItsDestinationAndTheReplyLeavesFromIt) {
    const auto& c = GetParam();
    queue->sync([&] {
        udp_pcb* pcb = udp_new_ip_type(IPADDR_TYPE_ANY);
        ASSERT_EQ(udp_bind(pcb, IP_ANY_TYPE, 0), ERR_OK);
        pcb->local_port = 0;
        auto received = [](void* arg, udp_pcb*, pbuf* p, const ip_addr_t* addr, u16_t port,
                           const ip_addr_t* dest, u16_t destPort) {
            auto* self = static_cast<UdpCatchAllTest*>(arg);
            self->datagrams.push_back(LWIPHelpers::ipAddrToString(*addr) + ":" + std::to_string(port) + " " +
                                      LWIPHelpers::ipAddrToString(*dest) + ":" + std::to_string(destPort) +
                                      " " + std::to_string(p->tot_len));
            pbuf_free(p);
            udp_pcb* reply = udp_new_ip_type(IPADDR_TYPE_ANY);
            reply->local_port = destPort;
            auto size = static_cast<u16_t>(self->GetParam().replySize);
            pbuf* q = pbuf_alloc(PBUF_TRANSPORT, size, PBUF_RAM);
            std::memset(q->payload, 'r', size);
            EXPECT_EQ(udp_sendto_if_src(reply, q, addr, port, netif_default, dest), ERR_OK);
            pbuf_free(q);
            udp_remove(reply);
        };
        udp_recv(pcb, received, this);
    });
    auto packet = Packet::udpDatagram(c.client, 5353, c.destination, 53, Data(c.size, 'x'));
    packet.fragment = c.fragment;
    auto bytes = packet.build();
    if (c.oneByteOver)
        bytes.push_back(0);
    flow->deliver({bytes});
    settle();
    queue->sync([&] {
        std::vector<std::string> want;
        if (c.replySize)
            want.push_back(upper(c.client) + ":5353 " + upper(c.destination) + ":53 " +
                           std::to_string(c.size));
        EXPECT_EQ(datagrams, want);
    });
    if (!c.replySize) {
        EXPECT_TRUE(flow->takeWritten().empty());
        return;
    }
    auto reply = writtenPacket();
    EXPECT_EQ(reply.source + ":" + std::to_string(reply.sourcePort), c.destination + ":53");
    EXPECT_EQ(reply.destination + ":" + std::to_string(reply.destinationPort), c.client + ":5353");
    EXPECT_EQ(reply.payload, Data(c.replySize, 'r'));
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, UdpCatchAllTest,
    ::testing::Values(UdpCase{"ipv4", client4, "192.0.2.1", 20, 0, false, 20},
                      UdpCase{"ipv4LargeReply", client4, "192.0.2.1", 20, 0, false, 3000},
                      UdpCase{"ipv6", client6, "2001:db8::53", 20, 0, false, 20},
                      UdpCase{"ipv6LargeReply", client6, "2001:db8::53", 20, 0, false, 3000},
                      UdpCase{"multicast", client4, "224.0.0.251", 20, 0, false, 20},
                      UdpCase{"largestPacket", client4, "192.0.2.1", 65535 - 28, 0, false, 20},
                      UdpCase{"overLargestPacket", client4, "192.0.2.1", 65535 - 28, 0, true, 0},
                      UdpCase{"moreFragments", client4, "192.0.2.1", 20, 0x2000, false, 0},
                      UdpCase{"fragmentOffset", client4, "192.0.2.1", 20, 0x0010, false, 0}),
    caseName<UdpCase>);

struct IcmpCase {
    const char* name;
    std::string client, destination;
    bool bridgeInstalled, shortMessage;
};

class IcmpBridgeTest : public StackTest, public ::testing::WithParamInterface<IcmpCase> {};

TEST_P(IcmpBridgeTest, BridgeTakesMessagesOrLeavesThemToTheStack) {
    const auto& c = GetParam();
    bool takes = c.bridgeInstalled && !c.shortMessage; // ICMPv6 shorter than its header is never offered
    std::vector<std::pair<std::string, Data>> offered; // on the queue
    IcmpBridgeReceiver receiver;
    if (c.bridgeInstalled)
        receiver = [&](const ip_addr_t& destination, const std::uint8_t* message, std::size_t length) {
            offered.emplace_back(LWIPHelpers::ipAddrToString(destination), Data(message, message + length));
        };
    queue->sync([&] { icmp_bridge_set_icmp_block(receiver), icmp_bridge_set_icmp6_block(receiver); });
    auto echo = Packet::echoRequest(c.client, c.destination);
    if (c.shortMessage)
        echo.payload.clear();
    auto bytes = echo.build();
    flow->deliver({bytes});
    settle();
    queue->sync([&] {
        icmp_bridge_set_icmp_block(nullptr), icmp_bridge_set_icmp6_block(nullptr);
        ASSERT_EQ(offered.size(), takes ? 1u : 0u);
        if (takes) {
            EXPECT_EQ(offered[0].first, upper(c.destination));
            EXPECT_EQ(offered[0].second, Data(bytes.begin() + (echo.version == 6 ? 40 : 20), bytes.end()));
        }
    });
    if (c.bridgeInstalled) {
        EXPECT_TRUE(flow->takeWritten().empty());
        return;
    }
    auto reply = writtenPacket(); // the stack's echo reply
    EXPECT_EQ(reply.icmpType, echo.version == 6 ? 129 : 0);
    EXPECT_EQ(reply.source + " " + reply.destination, c.destination + " " + c.client);
}

INSTANTIATE_TEST_SUITE_P(Messages, IcmpBridgeTest,
                         ::testing::Values(IcmpCase{"echoTaken", client4, "203.0.113.5", true, false},
                                           IcmpCase{"echoDeclined", client4, "203.0.113.5", false, false},
                                           IcmpCase{"echo6Taken", client6, "2001:db8::5", true, false},
                                           IcmpCase{"echo6Declined", client6, "2001:db8::5", false, false},
                                           IcmpCase{"short6NeverOffered", client6, "2001:db8::5", true,
                                                    true}),
                         caseName<IcmpCase>);

TEST_F(StackTest, BatchSkipsEmptyPacketsAndRefusedWritesAreLogged) {
    auto logger = test::CapturingLogger::install();
    flow->setRefusesWrites(true);
    auto fragment = Packet::udpDatagram(client4, 5353, "192.0.2.1", 53, toData("frag"));
    fragment.fragment = 0x2000;
    flow->deliver({Packet::echoRequest(client4, "203.0.113.5").build(),
                   {},
                   fragment.build(),
                   Packet::echoRequest(client4, "203.0.113.6").build()});
    settle();
    auto lines = logger->lines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const auto& line) { return line.find("failed to write packets") != line.npos; }),
        2);
    EXPECT_TRUE(logger->contains(
        "LWIP: IP packet dropped since it was fragmented (0x2000) (while IP_REASSEMBLY == 0)."));
    logger->uninstall();
}

// The stack's buffer chain leaves as one packet however many pieces it has (a UDP header and
// the payload's pieces): up to eight go to the flow as they are, longer chains are gathered.
TEST_F(StackTest, ChainedOutputLeavesAsOnePacket) {
    for (int pieces : {1, 7, 8, 20}) {
        SCOPED_TRACE(std::to_string(pieces) + " payload pieces");
        Data want;
        queue->sync([&] {
            auto before = LWIPStack::heapUsed();
            pbuf* chain = nullptr;
            for (int i = 0; i < pieces; ++i) {
                pbuf* piece = pbuf_alloc(PBUF_RAW, 100, PBUF_RAM);
                std::memset(piece->payload, 'a' + i, 100);
                want.insert(want.end(), 100, static_cast<std::uint8_t>('a' + i));
                if (chain)
                    pbuf_cat(chain, piece);
                else
                    chain = piece;
            }
            ip_addr_t to, from;
            ipaddr_aton(client4.c_str(), &to);
            ipaddr_aton("192.0.2.1", &from);
            udp_pcb* pcb = udp_new_ip_type(IPADDR_TYPE_V4);
            pcb->local_port = 53;
            EXPECT_EQ(udp_sendto_if_src(pcb, chain, &to, 5353, netif_default, &from), ERR_OK);
            pbuf_free(chain);
            udp_remove(pcb);
            EXPECT_EQ(LWIPStack::heapUsed(), before);
        });
        auto packet = writtenPacket();
        EXPECT_EQ(packet.source + ":" + std::to_string(packet.sourcePort), "192.0.2.1:53");
        EXPECT_EQ(packet.payload, want);
    }
}

TEST_F(StackTest, BatchAfterRemovalEndsTheReadLoop) {
    auto logger = test::CapturingLogger::install();
    iface->remove();
    send(Packet::echoRequest(client4, "203.0.113.5"));
    EXPECT_TRUE(test::waitFor([&] { return logger->contains("handleMyPackets called without a queue"); }));
    DispatchQueue::main()->sync([] {});
    EXPECT_FALSE(flow->isIdle()); // no further read
    EXPECT_TRUE(flow->takeWritten().empty());
    logger->uninstall();
}

TEST_F(StackTest, PacketRefusedByTheInputFunctionIsFreed) {
    auto bytes = Packet::udpDatagram(client4, 5353, "192.0.2.1", 53, Data(1000, 'x')).build();
    queue->sync([&] {
        struct netif refusing {};
        refusing.input = [](pbuf*, struct netif*) -> err_t { return ERR_VAL; };
        auto before = LWIPStack::heapUsed();
        netunif_input(&refusing, bytes.data(), bytes.size());
        EXPECT_EQ(LWIPStack::heapUsed(), before);
    });
}

TEST_F(StackTest, OutOfOrderFloodKeepsTheHeapBounded) {
    listen();
    auto synAck = connect(client4, "203.0.113.5", 443);
    auto before = queue->onQueue([] { return LWIPStack::heapUsed(); });
    PacketFlow::Packets flood;
    for (std::uint32_t k = 0; k < 60; ++k) { // each beyond a one-byte gap, each in a buffer of its own
        auto segment = Packet::tcpSegment(client4, 40000, "203.0.113.5", 443, Packet::ack);
        segment.seq = 1002 + 1000 * k, segment.ackNumber = synAck.seq + 1, segment.payload = Data(100, 'o');
        flood.push_back(segment.build());
    }
    flow->deliver(std::move(flood));
    settle();
    queue->sync([&] { EXPECT_LT(LWIPStack::heapUsed() - before, 32u * 1024); });
}

TEST_F(StackTest, TimerRunsTheStackTimeouts) {
    std::atomic<bool> fired{false};
    queue->sync([&] {
        sys_timeout(
            300, [](void* arg) { static_cast<std::atomic<bool>*>(arg)->store(true); }, &fired);
    });
    EXPECT_TRUE(test::waitFor([&] { return fired.load(); }, std::chrono::seconds(20)));
}

TEST(ProtectionLock, NestsForItsOwnerAndIgnoresOtherThreads) {
    sys_arch_protect();
    sys_arch_protect();
    sys_arch_unprotect(0);
    std::thread([] { sys_arch_unprotect(0); }).join(); // not the owner: no effect
    auto other = std::async(std::launch::async, [] { sys_arch_unprotect(sys_arch_protect()); });
    EXPECT_EQ(other.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    sys_arch_unprotect(0);
    EXPECT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

TEST(LWIPHelpersTest, AddressText) {
    ip_addr_t address;
    ASSERT_TRUE(ipaddr_aton("198.18.72.254", &address));
    EXPECT_EQ(LWIPHelpers::ipAddrToString(address), "198.18.72.254");
    ASSERT_TRUE(ipaddr_aton("2001:db8:0:0:0:0:0:5", &address));
    EXPECT_EQ(LWIPHelpers::ipAddrToString(address), "2001:DB8::5");
    ip_addr_t any = IPADDR_ANY_TYPE_INIT;
    EXPECT_DEATH(LWIPHelpers::ipAddrToString(any), "Unsupported address type: 46");
}

} // namespace
