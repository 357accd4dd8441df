// Packets cut short, lying about their length or no IP at all, as a broken or hostile app
// writes them into the tunnel device: each is turned away (and counted) before the stack reads
// a byte of it, or the stack takes it as far as its stated length goes; either way the stack
// serves on and its memory comes back.

#include <random>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/lwipglue/icmp_bridge.h"
#include "PacketTunnel/lwipglue/netunif.h"
#include "lwip/ip6_frag.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "lwip/udp.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::cutPacket;
using pemtrox::test::Packet;

namespace {

const std::string client4 = "198.18.72.254", server4 = "203.0.113.5";
const std::string client6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234", server6 = "2001:db8::5";

// The stack as LWIP mode sets it up (catch-all TCP and UDP endpoints, the ICMP bridge taking
// every message), counting what reaches each; at the end the heap and the input reserve must
// be back where they started.
class MalformedPacketTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        onStack([&] {
            listener = tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255);
            tcp_arg(listener, this);
            tcp_accept(listener, [](void* arg, tcp_pcb*, err_t) -> err_t {
                ++static_cast<MalformedPacketTest*>(arg)->accepted;
                return ERR_OK;
            });
            udp = udp_new_ip_type(IPADDR_TYPE_ANY);
            udp_bind(udp, IP_ANY_TYPE, 0);
            udp->local_port = 0;
            udp_recv(
                udp,
                [](void* arg, udp_pcb*, pbuf* p, const ip_addr_t*, u16_t, const ip_addr_t*, u16_t) {
                    static_cast<MalformedPacketTest*>(arg)->datagrams.push_back(p->tot_len);
                    pbuf_free(p);
                },
                this);
            auto offered = [this](const ip_addr_t&, const std::uint8_t*, std::size_t) { ++icmp; };
            icmp_bridge_set_icmp_block(offered);
            icmp_bridge_set_icmp6_block(offered);
            start = LWIPStack::heapUsed();
            malformedBefore = netunif_input_malformed();
        });
    }
    void TearDown() override {
        if (!IsSkipped()) {
            onStack([&] {
                while (tcp_active_pcbs)
                    tcp_abort(tcp_active_pcbs);
                while (tcp_tw_pcbs)
                    tcp_abort(tcp_tw_pcbs);
                for (int second = 0; second <= IPV6_REASS_MAXAGE; ++second)
                    ip6_reass_tmr(); // fragments held for reassembly time out
                EXPECT_EQ(LWIPStack::heapUsed(), start) << "heap not back at its start";
                EXPECT_EQ(netunif_input_held(), 0u) << "input reserve not back at its start";
                icmp_bridge_set_icmp_block(nullptr);
                icmp_bridge_set_icmp6_block(nullptr);
                udp_remove(udp);
                tcp_close(listener);
            });
        }
        StackHarness::TearDown();
    }
    std::size_t malformed() {
        return onStack([&] { return netunif_input_malformed() - malformedBefore; });
    }
    void deliver(PacketFlow::Packets packets) {
        flow->deliver(std::move(packets));
        settle();
    }
    // A connection through the catch-all carries bytes, and a datagram reaches its endpoint.
    void expectServing(std::uint16_t port) {
        test::TcpPeer peer(*this, client4, port, server4, 443);
        std::shared_ptr<void> unregister(nullptr, [&](void*) { peers.clear(); });
        ASSERT_TRUE(peer.connect());
        peer.send("hello");
        EXPECT_TRUE(peer.waitUntil([&] { return peer.stackAcked == peer.nextSeq; }))
            << "data not acknowledged";
        auto before = onStack([&] { return datagrams.size(); });
        send(Packet::udpDatagram(client6, 5353, server6, 53, toData("still there")));
        settle();
        EXPECT_EQ(onStack([&] { return datagrams.size(); }), before + 1);
    }

    tcp_pcb* listener = nullptr;
    udp_pcb* udp = nullptr;
    std::size_t accepted = 0, icmp = 0; // on the queue
    std::vector<std::size_t> datagrams; // payload sizes, on the queue
    std::size_t start = 0, malformedBefore = 0;
};

// Whole packets longer than every cut below, of each kind the stack parses differently.
std::vector<Data> wholePackets(int version) {
    bool six = version == 6;
    const auto& client = six ? client6 : client4;
    const auto& server = six ? server6 : server4;
    auto syn = Packet::tcpSegment(client, 40000, server, 443, Packet::syn);
    syn.payload = Data(60, 's');
    auto echo = Packet::echoRequest(client, server);
    echo.payload = Data(80, 'e');
    std::vector<Data> packets{
        syn.build(), Packet::udpDatagram(client, 5353, server, 53, Data(60, 'u')).build(), echo.build()};
    Data chained = packets[1];
    if (six) { // a hop-by-hop header (a PadN option) before the UDP header
        chained.insert(chained.begin() + 40, {17, 0, 1, 4, 0, 0, 0, 0});
        chained[6] = 0;
        chained[5] = static_cast<std::uint8_t>(chained[5] + 8);
    } else { // 40 bytes of options (no-ops) make the header its longest, 60 bytes
        chained.insert(chained.begin() + 20, 40, 1);
        chained[0] = 0x4F;
        chained[3] = static_cast<std::uint8_t>(chained[3] + 40);
    }
    packets.push_back(cutPacket(chained, chained.size(), true)); // its checksum again
    return packets;
}

// Every length from 1 to 80 bytes, for both families and each kind of packet: cut short with
// the header still stating the whole packet, every cut is turned away; cut with the header
// stating the cut, only those shorter than their IP header are. The stack takes the others as
// far as they go: a UDP cut that still holds its header arrives as a shorter datagram.
TEST_F(MalformedPacketTest, PacketsOfEveryShortLengthAreTurnedAwayOrTakenAsStated) {
    std::size_t turnedAway = 0, arrived = 0, offered = 0;
    for (int version : {4, 6}) {
        for (const auto& packet : wholePackets(version)) {
            ASSERT_GT(packet.size(), 80u);
            std::uint8_t protocol = packet[version == 6 ? 6 : 9];
            // IPv6: the hop-by-hop header too, which the stack reads before the transport.
            std::size_t header = version == 6 ? (protocol == 0 ? 48 : 40) : (packet[0] & 0x0Fu) * 4u;
            PacketFlow::Packets cuts;
            for (std::size_t length = 1; length <= 80; ++length) {
                cuts.push_back(cutPacket(packet, length, false));
                cuts.push_back(cutPacket(packet, length, true));
                turnedAway += 1 + (length < header ? 1 : 0);
                arrived += protocol == Packet::udp && length >= header + 8 ? 1 : 0;
                // The bridge is offered ICMP at once, ICMPv6 from its 8-byte header on.
                offered += (protocol == Packet::icmp && length >= header) ||
                           (protocol == Packet::icmp6 && length >= header + 8);
            }
            deliver(std::move(cuts));
            EXPECT_EQ(malformed(), turnedAway) << "IPv" << version << " protocol " << int(protocol);
        }
    }
    onStack([&] {
        EXPECT_EQ(datagrams.size(), arrived);
        EXPECT_EQ(icmp, offered);
    });
    expectServing(41000);
}

// Random bytes of every length behind an IPv4 or IPv6 version, no IP version at all, and
// random headers whose lengths agree with the packet: whatever the protocol and extension
// headers say, nothing is read beyond the packet (the sanitizer build tells).
TEST_F(MalformedPacketTest, RandomPacketsOfEveryShortLengthLeaveTheStackServing) {
    std::mt19937 random(32);
    auto randomBytes = [&](std::size_t length) {
        Data bytes(length);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(random());
        return bytes;
    };
    const std::uint8_t nextHeaders[] = {0, 6, 17, 43, 44, 58, 59, 60, 1, 2, 255};
    PacketFlow::Packets packets;
    std::size_t turnedAway = 0;
    for (std::size_t length = 1; length <= 120; ++length) {
        for (std::uint8_t version : {0, 1, 5, 7, 15}) {
            auto bytes = randomBytes(length);
            bytes[0] = static_cast<std::uint8_t>(version << 4 | (bytes[0] & 0x0F));
            packets.push_back(bytes);
            ++turnedAway;
        }
        for (int k = 0; k < 20; ++k) {
            auto six = randomBytes(length);
            six[0] = 0x60;
            // A chain of extension headers of 8 or 16 bytes, each naming the next.
            for (std::size_t typeAt = 6, at = 40; typeAt < length;) {
                six[typeAt] = nextHeaders[(k + at) % std::size(nextHeaders)];
                if (at + 1 >= length)
                    break;
                six[at + 1] &= 1;
                typeAt = at;
                at += 8 * (1 + std::size_t{six[at + 1]});
            }
            packets.push_back(cutPacket(six, length, true));
            auto four = randomBytes(length);
            std::size_t header = 4 * (5 + k % 11); // every header length
            four[0] = static_cast<std::uint8_t>(0x40 | header / 4);
            if (length > 9)
                four[9] = nextHeaders[k % std::size(nextHeaders)];
            if (length > 7)
                four[6] = four[7] = 0; // no fragment, which the stack would drop unread
            packets.push_back(cutPacket(four, length, true));
            turnedAway += (length < 40 ? 1 : 0) + (length < header ? 1 : 0); // and some for their chains
        }
    }
    deliver(std::move(packets));
    EXPECT_GE(malformed(), turnedAway);
    expectServing(42000);
}

// Once reassembled, a packet's pieces stay in the buffers its fragments came in, and the stack
// looks for its headers in the first alone: a header that begins where the first fragment's
// data ends is dropped there, and nothing is read past that buffer meanwhile.
TEST_F(MalformedPacketTest, HeadersSplitOverFragmentsAreNotReadPastTheFirstOne) {
    auto fragment = [](std::uint16_t offsetAndMore, std::initializer_list<std::uint8_t> data) {
        auto packet = Packet::udpDatagram(client6, 5353, server6, 53, {}).build();
        packet.resize(40);
        packet[6] = 44;
        packet.insert(packet.end(), {60, 0, static_cast<std::uint8_t>(offsetAndMore >> 8),
                                     static_cast<std::uint8_t>(offsetAndMore), 0, 0, 0x32, 0x0B});
        packet.insert(packet.end(), data);
        return cutPacket(packet, packet.size(), true);
    };
    // Destination options of 8 bytes each (a 4-byte padding): the second is the last fragment.
    deliver({fragment(0x0001, {60, 0, 1, 4, 0, 0, 0, 0}), fragment(0x0008, {17, 0, 1, 4, 0, 0, 0, 0})});
    EXPECT_EQ(malformed(), 0u);
    onStack([&] { EXPECT_TRUE(datagrams.empty()); });
    expectServing(44000);
}

struct EdgeCase {
    const char* name;
    std::function<Data()> packet;
    bool turnedAway;
    std::vector<std::size_t> arrives; // the payload the UDP endpoint gets
};
void PrintTo(const EdgeCase& c, std::ostream* os) {
    *os << c.name;
}

Data udp4() {
    return Packet::udpDatagram(client4, 5353, server4, 53, Data(8, 'x')).build();
}
Data udp6() {
    return Packet::udpDatagram(client6, 5353, server6, 53, Data(8, 'x')).build();
}
Data with(Data packet, std::size_t at, std::uint8_t value) {
    packet[at] = value;
    return packet;
}
Data trailing(Data packet) {
    packet.insert(packet.end(), 7, 0xEE);
    return packet;
}
// The packet with its IP header's length field set (an IPv4 header's checksum right again).
Data stating(Data packet, std::size_t stated) {
    std::size_t at = packet[0] >> 4 == 6 ? 4 : 2;
    packet[at] = static_cast<std::uint8_t>(stated >> 8), packet[at + 1] = static_cast<std::uint8_t>(stated);
    if (at == 2) {
        std::uint32_t sum = 0;
        packet[10] = packet[11] = 0;
        for (std::size_t i = 0; i < 20; i += 2)
            sum += packet[i] << 8 | packet[i + 1];
        sum = (sum & 0xFFFF) + (sum >> 16);
        sum = ~(sum + (sum >> 16)) & 0xFFFF;
        packet[10] = static_cast<std::uint8_t>(sum >> 8), packet[11] = static_cast<std::uint8_t>(sum);
    }
    return packet;
}

// The IPv6 datagram behind an options header of 8 bytes (hop-by-hop, 0, or destination
// options, 60) whose last six bytes are these options.
Data behindOptions(std::uint8_t type, std::initializer_list<std::uint8_t> options) {
    Data packet = udp6(), header{17, 0};
    header.insert(header.end(), options);
    packet.insert(packet.begin() + 40, header.begin(), header.end());
    packet[6] = type;
    return cutPacket(packet, packet.size(), true);
}

class HeaderEdgeTest : public MalformedPacketTest, public ::testing::WithParamInterface<EdgeCase> {};

// Both sides of each limit the header sets; a packet taken with bytes beyond its stated length
// reaches the stack without them.
TEST_P(HeaderEdgeTest, PacketIsTurnedAwayOnlyPastTheLimit) {
    const auto& c = GetParam();
    deliver({c.packet()});
    EXPECT_EQ(malformed(), c.turnedAway ? 1u : 0u);
    onStack([&] { EXPECT_EQ(datagrams, c.arrives); });
    expectServing(43000);
}

const std::vector<std::size_t> eight{8}, none;
INSTANTIATE_TEST_SUITE_P(
    Limits, HeaderEdgeTest,
    ::testing::Values(EdgeCase{"empty", [] { return Data{}; }, true, none},
                      EdgeCase{"ipv4Whole", [] { return udp4(); }, false, eight},
                      EdgeCase{"ipv4StatesOneMore", [] { return stating(udp4(), 37); }, true, none},
                      EdgeCase{"ipv4StatesOneLess", [] { return stating(udp4(), 35); }, false,
                               none}, // short for its UDP header
                      EdgeCase{"ipv4TrailingBytes", [] { return trailing(udp4()); }, false, eight},
                      EdgeCase{"ipv4StatesItsHeaderAlone", [] { return stating(udp4(), 20); }, false, none},
                      EdgeCase{"ipv4StatesLessThanItsHeader", [] { return stating(udp4(), 19); }, true, none},
                      EdgeCase{"ipv4HeaderOf16Bytes", [] { return stating(with(udp4(), 0, 0x44), 36); }, true,
                               none},
                      EdgeCase{"ipv4HeaderAsLongAsThePacket",
                               [] { return stating(with(udp4(), 0, 0x49), 36); }, false, none},
                      EdgeCase{"ipv4HeaderLongerThanThePacket",
                               [] { return stating(with(udp4(), 0, 0x4A), 36); }, true, none},
                      EdgeCase{"ipv4Of19Bytes", [] { return cutPacket(udp4(), 19, false); }, true, none},
                      EdgeCase{"ipv6Whole", [] { return udp6(); }, false, eight},
                      EdgeCase{"ipv6StatesOneMore", [] { return stating(udp6(), 17); }, true, none},
                      EdgeCase{"ipv6TrailingBytes", [] { return trailing(udp6()); }, false, eight},
                      EdgeCase{"ipv6Of39Bytes", [] { return cutPacket(udp6(), 39, false); }, true, none},
                      EdgeCase{"ipv6HeaderAlone", [] { return cutPacket(udp6(), 40, true); }, false, none},
                      // An option's type and length lie within its header; a one-byte padding
                      // needs no length.
                      EdgeCase{"ipv6OptionEndsOnItsHeadersLastByte",
                               [] {
                                   return behindOptions(0, {1, 2, 0, 0, 1, 0});
                               },
                               false, eight},
                      EdgeCase{"ipv6OptionTypeOnItsHeadersLastByte",
                               [] {
                                   return behindOptions(0, {1, 3, 0, 0, 0, 1});
                               },
                               true, none},
                      EdgeCase{"ipv6PaddingByteOnItsHeadersLastByte",
                               [] {
                                   return behindOptions(0, {1, 3, 0, 0, 0, 0});
                               },
                               false, eight},
                      EdgeCase{"ipv6DestinationOptionEndsOnItsHeadersLastByte",
                               [] {
                                   return behindOptions(60, {1, 2, 0, 0, 1, 0});
                               },
                               false, eight},
                      EdgeCase{"ipv6DestinationOptionTypeOnItsHeadersLastByte",
                               [] {
                                   return behindOptions(60, {1, 3, 0, 0, 0, 1});
                               },
                               true, none},
                      EdgeCase{"version5", [] { return with(udp4(), 0, 0x55); }, true, none}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
