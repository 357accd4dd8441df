#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/MemoryPacketFlow.h"
#include "PacketTunnel/PacketTunnelICMP6Handler.h"
#include "PacketTunnel/PacketTunnelICMPHandler.h"
#include "PacketTunnel/PacketTunnelUDPProxyServer.h"
#include "PacketTunnel/TunPacketFlow.h"
#include "PacketTunnel/TunnelInterface.h"
#include "PacketTunnel/lwipglue/icmp_bridge.h"
#include "platform/DispatchQueue.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpPeer.h"

using namespace pemtrox;
using pemtrox::test::Packet;
using Limits = PacketTunnelUDPProxyServer::Limits;
using namespace std::chrono_literals;

namespace {

const std::string client4 = "198.18.72.254", client6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";

std::string shell(const std::string& command) {
    int status = -1;
    auto out = test::runCommand(command + " 2>&1", &status);
    EXPECT_EQ(status, 0) << command << ": " << out;
    return out;
}

// An echo counter of this thread's network namespace ("IcmpInEchos", "Icmp6InEchos").
long counter(const std::string& name) {
    std::ifstream snmp("/proc/thread-self/net/snmp"), snmp6("/proc/thread-self/net/snmp6");
    std::string header, values, key;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        std::istringstream names(header), numbers(values);
        std::string prefix, field;
        long value;
        names >> prefix, numbers >> prefix;
        while (names >> field && numbers >> value)
            if (prefix.substr(0, prefix.size() - 1) + field == name)
                return value;
    }
    long value;
    while (snmp6 >> key >> value)
        if (key == name)
            return value;
    return -1;
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

// The relay and the ICMP handlers on the stack, in a network namespace of the test's own
// whose loopback holds the servers' addresses (ctest runs each test in its own process).
class DatagramRelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: runs in a network namespace of its own with servers on its loopback";
        if (LWIPStack::isInitialised())
            GTEST_SKIP() << "the stack initialises once per process: run each test alone (ctest does)";
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        shell(
            "ip link set lo up && for a in 10.77.0.1 10.77.0.2 10.77.0.53; do ip addr add $a/32 dev lo; done"
            " && ip addr add fd77::1/128 dev lo nodad && ip addr add fd77::53/128 dev lo nodad");
        allowPing("0 2147483647");
        queue = DispatchQueue::make("Proxying"); // its thread starts in the namespace
        icmp = PacketTunnelICMPHandler::make(queue), icmp6 = PacketTunnelICMP6Handler::make(queue);
        LWIPStack::initialise();
    }
    void TearDown() override {
        if (relay)
            relay->stop();
        if (queue)
            queue->sync([] { icmp_bridge_set_icmp_block(nullptr), icmp_bridge_set_icmp6_block(nullptr); });
        if (timer)
            timer->cancel();
        if (iface)
            iface->remove();
    }
    void allowPing(const std::string& groups) {
        std::ofstream("/proc/sys/net/ipv4/ping_group_range") << groups;
    }
    void start(std::shared_ptr<PacketFlow> packets, Limits limits = {}) {
        iface = TunnelInterface::make(queue, std::move(packets));
        iface->add(client4);
        iface->startReading();
        timer = LWIPStack::startTimer(*queue);
        relay = PacketTunnelUDPProxyServer::make(queue, limits);
        relay->bind();
        icmp->bind(), icmp6->bind();
        queue->sync([&] {
            icmp_bridge_set_icmp_block([h = icmp](auto& to, auto* data, auto n) { h->handle(to, data, n); });
            icmp_bridge_set_icmp6_block(
                [h = icmp6](auto& to, auto* data, auto n) { h->handle(to, data, n); });
        });
    }
    void send(const Packet& packet) { flow->deliver({packet.build()}); }
    void settle() {
        ASSERT_TRUE(test::waitFor([&] { return flow->isIdle(); }, 30s));
        queue->sync([] {});
    }
    Packet written() {
        EXPECT_TRUE(flow->waitForWritten(1)) << "nothing written";
        auto all = flow->takeWritten();
        return all.size() == 1 ? Packet::parse(all[0].first).value_or(Packet{}) : Packet{};
    }

    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<MemoryPacketFlow> flow = MemoryPacketFlow::make();
    std::shared_ptr<TunnelInterface> iface;
    std::shared_ptr<RepeatingTimer> timer;
    std::shared_ptr<PacketTunnelUDPProxyServer> relay;
    std::shared_ptr<PacketTunnelICMPHandler> icmp;
    std::shared_ptr<PacketTunnelICMP6Handler> icmp6;
};

std::optional<Data> answer(const Data& datagram) {
    if (datagram == toData("big"))
        return Data(3000, 'b');
    return datagram.empty() ? Data{} : toData("re:" + toString(datagram));
}

TEST_F(DatagramRelayTest, RepliesReturnFromEachServerToTheirOwnClient) {
    test::UdpPeer one("10.77.0.1", answer), two("10.77.0.2", answer), six("fd77::1", answer);
    struct Row {
        std::string client;
        std::uint16_t clientPort;
        std::string server;
        int serverPort;
        std::string payload;
        std::size_t replySize;
    } rows[] = {{client4, 5000, "10.77.0.1", one.port(), "a", 4},
                {client4, 5000, "10.77.0.2", two.port(), "b", 4},
                {client6, 5000, "fd77::1", six.port(), "c", 4},
                {client4, 5001, "10.77.0.1", one.port(), "", 0},
                {client4, 5002, "10.77.0.1", one.port(), "big", 3000}};
    start(flow);
    for (const auto& row : rows) {
        auto port = static_cast<std::uint16_t>(row.serverPort);
        send(Packet::udpDatagram(row.client, row.clientPort, row.server, port, toData(row.payload)));
        auto reply = written();
        EXPECT_EQ(reply.source + " " + std::to_string(reply.sourcePort) + " " + reply.destination + " " +
                      std::to_string(reply.destinationPort) + " " + std::to_string(reply.payload.size()),
                  row.server + " " + std::to_string(port) + " " + row.client + " " +
                      std::to_string(row.clientPort) + " " + std::to_string(row.replySize))
            << row.payload;
    }
    send(
        Packet::udpDatagram(client4, 5000, "10.77.0.1", static_cast<std::uint16_t>(one.port()), toData("d")));
    written();
    EXPECT_EQ(one.lastSourcePort(), two.lastSourcePort()); // one socket for both of 5000's servers
    EXPECT_EQ(relay->socketCount(), 4u);
}

TEST_F(DatagramRelayTest, IdleSocketsAreSwept) {
    auto logger = test::CapturingLogger::install();
    test::UdpPeer one("10.77.0.1", answer);
    start(flow, Limits{300ms, 100ms, 0});
    send(
        Packet::udpDatagram(client4, 5000, "10.77.0.1", static_cast<std::uint16_t>(one.port()), toData("a")));
    written();
    EXPECT_EQ(relay->socketCount(), 1u);
    EXPECT_TRUE(test::waitFor([&] { return relay->socketCount() == 0; }));
    EXPECT_TRUE(test::waitFor([&] { return logger->contains("Vacuumed 1 UDP sockets, 0 remaining"); }));
    logger->uninstall();
}

// Resolvers take a new port per query: the table stays capped, and running out of
// descriptors all the same is one warning per burst.
TEST_F(DatagramRelayTest, ManyClientPortsStayUnderTheCap) {
    auto logger = test::CapturingLogger::install();
    rlimit limit{1024, 1024};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    test::UdpPeer sink("10.77.0.1", [](const Data&) { return std::nullopt; });
    auto port = static_cast<std::uint16_t>(sink.port());
    start(flow);
    ASSERT_EQ(relay->maxSockets(), 256u);
    auto before = openDescriptors(), most = before;
    auto began = std::chrono::steady_clock::now();
    for (int batch = 0; batch < 20; ++batch) {
        PacketFlow::Packets packets;
        for (int k = 0; k < 250; ++k)
            packets.push_back(Packet::udpDatagram(client4,
                                                  static_cast<std::uint16_t>(10000 + batch * 250 + k),
                                                  "10.77.0.1", port, toData("q"))
                                  .build());
        flow->deliver(std::move(packets));
        ASSERT_TRUE(test::waitFor([&] { return sink.datagrams() == (batch + 1) * 250; }, 30s));
        most = std::max(most, openDescriptors());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, 60s);
    EXPECT_LE(most, before + 256);
    EXPECT_EQ(relay->socketCount(), 256u);

    rlimit starved{openDescriptors(), 1024};
    relay->stop(); // frees every socket: the next ones must fail
    relay = PacketTunnelUDPProxyServer::make(queue, Limits{60s, 10s, 1000});
    relay->bind();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &starved), 0);
    for (std::uint16_t k = 0; k < 300; ++k)
        send(Packet::udpDatagram(client4, static_cast<std::uint16_t>(30000 + k), "10.77.0.1", port,
                                 toData("q")));
    settle();
    auto lines = logger->lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](auto& line) { return line.find("Failed to bind udp: ") != line.npos; }),
              1);
    EXPECT_GT(relay->socketCount(), 200u); // the descriptors freed by the stop
    logger->uninstall();
}

struct Family {
    const char* name;
    std::string client, server, counter;
    std::uint8_t notSent; // an echo reply: the kernel takes only echo requests
};
void PrintTo(const Family& f, std::ostream* os) {
    *os << f.name;
}
const auto families = ::testing::Values(Family{"ipv4", client4, "10.77.0.1", "IcmpInEchos", 0},
                                        Family{"ipv6", client6, "fd77::1", "Icmp6InEchos", 129});
auto familyName = [](const auto& info) { return std::string(info.param.name); };

class IcmpTest : public DatagramRelayTest, public ::testing::WithParamInterface<Family> {};

TEST_P(IcmpTest, EchoRequestsLeaveThroughPingSocketsAndNothingComesBack) {
    const auto& f = GetParam();
    auto logger = test::CapturingLogger::install();
    start(flow);
    long base = counter(f.counter);
    auto echo = Packet::echoRequest(f.client, f.server), large = echo, other = echo;
    large.payload.resize(3000, 'x'); // more than the bridge's copy once held
    other.icmpType = f.notSent;
    for (const auto* packet : {&echo, &large, &other, &echo})
        send(*packet);
    EXPECT_TRUE(test::waitFor([&] { return counter(f.counter) == base + 3; })) << counter(f.counter) - base;
    // A network change: the socket is invalidated and bound again, on the stack's queue.
    AbstractPacketTunnelICMP& handler =
        f.counter == "IcmpInEchos" ? static_cast<AbstractPacketTunnelICMP&>(*icmp) : *icmp6;
    auto descriptors = openDescriptors();
    handler.invalidate();
    send(echo);
    settle();
    handler.bind();
    send(echo);
    EXPECT_TRUE(test::waitFor([&] { return counter(f.counter) == base + 4; })) << counter(f.counter) - base;
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_TRUE(flow->takeWritten().empty()); // neither the stack nor the replies answered
    EXPECT_TRUE(logger->contains("Dropped ICMP type " + std::to_string(f.notSent)));
    EXPECT_FALSE(logger->contains("Failed to send"));
    logger->uninstall();
}

TEST_F(DatagramRelayTest, RefusedPingSocketsAreExplainedOnce) {
    auto logger = test::CapturingLogger::install();
    allowPing("1 0"); // the kernel's default: no group may
    for (int k = 0; k < 2; ++k) {
        try {
            icmp->bind();
            ADD_FAILURE() << "bound";
        } catch (const PacketTunnelICMPError& e) {
            EXPECT_EQ(e.description(), "fdCreationFailed(13)");
        }
    }
    auto lines = logger->lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](auto& line) { return line.find("net.ipv4.ping_group_range") != line.npos; }),
              1);
    logger->uninstall();
}

INSTANTIATE_TEST_SUITE_P(Families, IcmpTest, families, familyName);

// A DNS server's answer: an A record, or for "big.test" a TXT record of about 3 KiB.
std::optional<Data> dns(const Data& query) {
    std::size_t at = 12;
    while (at < query.size() && query[at])
        at += query[at] + 1u;
    if (at + 5 > query.size())
        return std::nullopt;
    Data reply(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(at + 5));
    bool big = toString(query).find("big") != std::string::npos;
    reply[2] = 0x81, reply[3] = 0x80, reply[7] = 1, reply[9] = 0, reply[11] = 1; // one answer, one OPT
    Data rdata = big ? Data{} : Data{192, 0, 2, 7};
    for (int k = 0; big && k < 12; ++k)
        rdata.push_back(255), rdata.insert(rdata.end(), 255, 't');
    Data record{0xc0, 12, 0, static_cast<std::uint8_t>(big ? 16 : 1), 0, 1, 0, 0, 0, 60};
    record.push_back(static_cast<std::uint8_t>(rdata.size() >> 8)), record.push_back(rdata.size() & 0xff);
    reply.insert(reply.end(), record.begin(), record.end());
    reply.insert(reply.end(), rdata.begin(), rdata.end());
    for (std::uint8_t b : {0, 0, 41, 16, 0, 0, 0, 0, 0, 0, 0})
        reply.push_back(b);
    return reply;
}

// The device's side: a client namespace whose default routes lead into the TUN device.
class TunnelTest : public DatagramRelayTest, public ::testing::WithParamInterface<Family> {
protected:
    void SetUp() override {
        DatagramRelayTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (test::runCommand("command -v dig && command -v ping").empty())
            GTEST_SKIP() << "needs dig and ping (bind9-dnsutils, iputils-ping)";
        tun = TunPacketFlow::make();
        in = "ip netns exec " + client + " ";
        shell("ip netns add " + client + " && ip link set " + tun->name() + " netns " + client + " && " + in +
              "sh -c 'ip link set lo up && ip link set " + tun->name() + " up && ip addr add " + client4 +
              "/32 dev " + tun->name() + " && ip route add default dev " + tun->name() + " && ip addr add " +
              client6 + "/64 dev " + tun->name() + " nodad && ip -6 route add default dev " + tun->name() +
              "'");
        start(tun);
    }
    void TearDown() override {
        DatagramRelayTest::TearDown();
        if (tun)
            tun->close(), test::runCommand("ip netns del " + client);
    }
    std::string client = "pemtrox-client-" + std::to_string(getpid()), in;
    std::shared_ptr<TunPacketFlow> tun;
};

TEST_P(TunnelTest, DigAndPingThroughTheTunnel) {
    const auto& f = GetParam();
    std::string dnsServer = f.client == client4 ? "10.77.0.53" : "fd77::53";
    test::UdpPeer server(dnsServer, dns, 53);
    EXPECT_EQ(shell(in + "dig +short +time=5 +tries=2 @" + dnsServer + " a.test A"), "192.0.2.7\n");
    auto big = shell(in + "dig +bufsize=4096 +time=5 +tries=2 @" + dnsServer + " big.test TXT");
    std::smatch size;
    ASSERT_TRUE(std::regex_search(big, size, std::regex("MSG SIZE  rcvd: (\\d+)"))) << big;
    EXPECT_GT(std::stoi(size[1]), 3000) << big;

    long base = counter(f.counter);
    auto ping =
        test::runCommand(in + "ping " + (f.client == client4 ? "-4" : "-6") + " -c3 -i0.2 -W1 " + f.server);
    EXPECT_NE(ping.find("3 packets transmitted, 0 received"), std::string::npos) << ping;
    EXPECT_TRUE(test::waitFor([&] { return counter(f.counter) == base + 3; })) << counter(f.counter) - base;
}

INSTANTIATE_TEST_SUITE_P(Families, TunnelTest, families, familyName);

} // namespace
