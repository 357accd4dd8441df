#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPMode.h"
#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/PacketTunnelICMP6Handler.h"
#include "PacketTunnel/PacketTunnelICMPHandler.h"
#include "PacketTunnel/PacketTunnelUDPProxyServer.h"
#include "PacketTunnel/TunPacketFlow.h"
#include "lwip/mem.h"
#include "lwip/pbuf.h"
#include "platform/AsyncUdpSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/NetworkNamespace.h"
#include "platform/SocketAddress.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/StackHarness.h"
#include "tests/support/tunnel/TunnelNamespaces.h"

using namespace pemtrox;
using pemtrox::test::Packet;
using Limits = PacketTunnelUDPProxyServer::Limits;
using namespace std::chrono_literals;

namespace {

const std::string client4 = "198.18.72.254", client6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";

long openDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// A UDP server on its own queue: answers each datagram with what the responder makes of it.
class Peer : public AsyncUdpSocketDelegate {
public:
    using Responder = std::function<std::optional<Data>(const Data&)>;
    static std::shared_ptr<Peer> make(const std::string& address, Responder responder, int port = 0) {
        auto peer = std::make_shared<Peer>();
        peer->responder = std::move(responder);
        peer->socket->setDelegate(peer);
        peer->socket->bind(address, static_cast<std::uint16_t>(port));
        peer->socket->beginReceiving();
        return peer;
    }
    ~Peer() override { socket->close(); }
    int port() const { return *socket->localPort(); }
    void udpSocketDidReceive(AsyncUdpSocket&, Data data, Data address) override {
        lastSourcePort = AsyncUdpSocket::hostAndPort(address)->second;
        ++datagrams;
        if (auto reply = responder(data))
            socket->sendData(std::move(*reply), address, 0);
    }
    void udpSocketDidClose(AsyncUdpSocket&, ErrorPtr) override {}
    std::atomic<int> datagrams{0}, lastSourcePort{0};

private:
    Responder responder;
    std::shared_ptr<AsyncUdpSocket> socket = AsyncUdpSocket::make(DispatchQueue::make("peer"));
};

std::optional<Data> answer(const Data& datagram) {
    if (datagram == toData("big"))
        return Data(3000, 'b');
    return datagram.empty() ? Data{} : toData("re:" + toString(datagram));
}

// Crafted datagrams through the stack and the relay to servers on a global address of this
// machine (the relay refuses loopback destinations).
class UdpRelayTest : public test::StackHarness {
protected:
    void SetUp() override {
        if (local4.empty())
            GTEST_SKIP() << "no IPv4 address besides loopback";
        StackHarness::SetUp();
    }
    void TearDown() override {
        if (relay)
            relay->stop();
        StackHarness::TearDown();
    }
    void start(Limits limits = {}) {
        relay = PacketTunnelUDPProxyServer::make(queue, limits);
        relay->bind();
    }
    void udp(const std::string& client, std::uint16_t from, const std::string& to, int port,
             std::string payload) {
        send(Packet::udpDatagram(client, from, to, static_cast<std::uint16_t>(port), toData(payload)));
    }
    Packet written() {
        EXPECT_TRUE(flow->waitForWritten(1)) << "nothing written";
        auto all = flow->takeWritten();
        return all.size() == 1 ? Packet::parse(all[0].first).value_or(Packet{}) : Packet{};
    }
    std::shared_ptr<PacketTunnelUDPProxyServer> relay;
    const std::string local4 = test::localAddress(AF_INET), local6 = test::localAddress(AF_INET6);
};

TEST_F(UdpRelayTest, RepliesReturnFromEachServerToTheirOwnClient) {
    if (local6.empty())
        GTEST_SKIP() << "no IPv6 address besides loopback";
    auto one = Peer::make(local4, answer), two = Peer::make(local4, answer), six = Peer::make(local6, answer);
    struct Row {
        std::string client;
        std::uint16_t clientPort;
        std::string server;
        int serverPort;
        std::string payload;
        std::size_t replySize;
    } rows[] = {{client4, 5000, local4, one->port(), "a", 4},
                {client4, 5000, local4, two->port(), "b", 4},
                {client6, 5000, local6, six->port(), "c", 4}, // the same port from the other family
                {client4, 5001, local4, one->port(), "", 0},
                {client4, 5002, local4, one->port(), "big", 3000}};
    start();
    for (const auto& r : rows) {
        udp(r.client, r.clientPort, r.server, r.serverPort, r.payload);
        auto p = written();
        EXPECT_EQ(fmt::format("{} {} {} {} {}", p.source, p.sourcePort, p.destination, p.destinationPort,
                              p.payload.size()),
                  fmt::format("{} {} {} {} {}", r.server, r.serverPort, r.client, r.clientPort, r.replySize));
    }
    udp(client4, 5000, local4, one->port(), "d");
    written();
    EXPECT_EQ(one->lastSourcePort, two->lastSourcePort); // one socket for both of 5000's servers
    EXPECT_EQ(relay->socketCount(), 4u);
}

// The stack's heap holds room for the reply's buffer and nothing more: no endpoint to send it.
TEST_F(UdpRelayTest, ReplyWithoutRoomForItsEndpointIsDropped) {
    auto logger = test::CapturingLogger::install();
    auto late = Peer::make(local4, [](const Data&) {
        std::this_thread::sleep_for(500ms);
        return toData("x");
    });
    start();
    udp(client4, 5000, local4, late->port(), "a");
    ASSERT_TRUE(test::waitFor([&] { return late->datagrams == 1; }));
    std::vector<void*> blocks;
    onStack([&] {
        pbuf* hole = pbuf_alloc(PBUF_TRANSPORT, 1, PBUF_RAM); // the reply's buffer will take its place
        while (void* block = mem_malloc(1))
            blocks.push_back(block);
        pbuf_free(hole);
    });
    EXPECT_TRUE(test::waitFor([&] { return logger->contains("Failed to send response udp: -1"); }));
    onStack([&] {
        for (void* block : blocks)
            mem_free(block);
    });
    EXPECT_TRUE(flow->takeWritten().empty());
}

TEST_F(UdpRelayTest, IdleSocketsAreSwept) {
    auto logger = test::CapturingLogger::install();
    auto one = Peer::make(local4, answer);
    start(Limits{300ms, 100ms, 0});
    udp(client4, 5000, local4, one->port(), "a");
    written();
    EXPECT_TRUE(test::waitFor([&] { return logger->contains("Vacuumed 1 UDP sockets, 0 remaining"); }));
    EXPECT_EQ(relay->socketCount(), 0u);
}

// Resolvers take a new port per query: the table stays capped, and running out of
// descriptors all the same is one warning per burst.
TEST_F(UdpRelayTest, ManyClientPortsStayUnderTheCap) {
    auto logger = test::CapturingLogger::install();
    rlimit limit{1024, 1024};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    auto sink = Peer::make(local4, [](const Data&) { return std::nullopt; });
    start();
    ASSERT_EQ(relay->maxSockets(), 256u);
    auto before = openDescriptors(), most = before;
    auto began = std::chrono::steady_clock::now();
    for (int batch = 0; batch < 50; ++batch) {
        PacketFlow::Packets packets;
        for (int k = 0; k < 100; ++k)
            packets.push_back(Packet::udpDatagram(client4,
                                                  static_cast<std::uint16_t>(10000 + batch * 100 + k), local4,
                                                  static_cast<std::uint16_t>(sink->port()), {})
                                  .build());
        flow->deliver(std::move(packets));
        ASSERT_TRUE(test::waitFor([&] { return sink->datagrams == (batch + 1) * 100; }, 30s));
        most = std::max(most, openDescriptors());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, 60s);
    EXPECT_LE(most, before + 256);
#ifdef __SANITIZE_ADDRESS__
    return; // the sanitizers' own checks need descriptors: without any they report false faults
#endif
    rlimit starved{static_cast<rlim_t>(openDescriptors()), 1024};
    relay->stop(); // frees the descriptors of 256 sockets, no more
    start(Limits{60s, 10s, 1000});
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &starved), 0);
    for (int k = 0; k < 300; ++k)
        udp(client4, static_cast<std::uint16_t>(30000 + k), local4, sink->port(), "q");
    settle();
    EXPECT_EQ(logger->count("Failed to bind udp: "), 1);
    EXPECT_GT(relay->socketCount(), 200u);
}

TEST(PingSocketTest, RefusalIsExplainedOnce) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: a network namespace of its own, where ping sockets are refused";
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
    auto logger = test::CapturingLogger::install();
    auto handler = PacketTunnelICMPHandler::make(DispatchQueue::make("Proxying")); // its thread starts there
    for (int k = 0; k < 2; ++k) {
        try {
            handler->bind();
            ADD_FAILURE() << "bound";
        } catch (const PacketTunnelICMPError& e) {
            EXPECT_EQ(e.description(), "fdCreationFailed(13)");
        }
    }
    EXPECT_EQ(logger->count("net.ipv4.ping_group_range"), 1);
}

// A DNS server answering every query with one A record, 192.0.2.7.
std::optional<Data> dns(const Data& query) {
    std::size_t at = 12;
    while (at < query.size() && query[at])
        at += query[at] + 1u;
    if (at + 5 > query.size())
        return std::nullopt;
    Data reply(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(at + 5));
    reply[2] = 0x81, reply[3] = 0x80, reply[7] = 1, reply[9] = 0, reply[11] = 0; // one answer
    reply.insert(reply.end(), {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 7});
    return reply;
}

struct Family {
    const char* name;
    std::string server, dnsServer, counter; // an echo counter of the servers' namespace
    std::string loopback;                   // as a URL holds it
};
void PrintTo(const Family& f, std::ostream* os) {
    *os << f.name;
}

// LWIP mode in gw on a TUN device in cli, which runs dig and ping; the servers are srv's.
class LWIPModeDatagramTest : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override {
        if (auto reason = test::TunnelNamespaces::unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        if (LWIPStack::isInitialised())
            GTEST_SKIP() << "the stack initialises once per process: run each test alone (ctest does)";
        spaces.emplace();
        flow = spaces->clientDevice();
        LWIPMode::Configuration configuration;
        configuration.caDirectory = dir.path();
        NetworkNamespace::named(spaces->gw).run([&] { mode = LWIPMode::start(configuration, flow); });
        mode->startReading();
    }
    void TearDown() override {
        if (mode)
            mode->stop();
        if (flow)
            flow->close();
        mode.reset();
        spaces.reset();
    }
    std::string cli(const std::string& command) { return test::TunnelNamespaces::in(spaces->cli, command); }
    long counter() {
        auto name = GetParam().counter;
        return std::stol("0" + test::TunnelNamespaces::in(spaces->srv, "nstat -asz " + name + " | awk '/^" +
                                                                           name + " /{print $2}'"));
    }

    test::TempDir dir;
    std::optional<test::TunnelNamespaces> spaces;
    std::shared_ptr<TunPacketFlow> flow;
    std::unique_ptr<LWIPMode> mode;
};

TEST_P(LWIPModeDatagramTest, DigAndPingThroughTheTunnel) {
    if (test::runCommand("command -v dig && command -v ping").empty())
        GTEST_SKIP() << "needs dig and ping (bind9-dnsutils, iputils-ping)";
    const auto& f = GetParam();
    auto logger = test::CapturingLogger::install();
    std::shared_ptr<Peer> dnsServer;
    NetworkNamespace::named(spaces->srv).run([&] { dnsServer = Peer::make(f.dnsServer, dns, 53); });
    auto dig = [&] {
        EXPECT_EQ(cli("dig +short +time=5 +tries=2 @" + f.dnsServer + " a.test A"), "192.0.2.7\n");
    };
    dig();
    long base = counter();
    auto ping = [&](int bytes) {
        auto out = cli("ping -c3 -i0.2 -W1 -s " + std::to_string(bytes) + " " + f.server);
        EXPECT_NE(out.find("3 packets transmitted, 0 received"), std::string::npos) << out;
    };
    ping(56), ping(3000); // more than the bridge's copy once held
    EXPECT_TRUE(test::waitFor([&] { return counter() == base + 6; })) << counter() - base;
    // A network change: the sockets are invalidated and bound again, on the stack's queue.
    mode->invalidateICMPSockets();
    ping(56);
    dig(); // the pings have gone through the stack
    mode->rebindICMPSockets();
    ping(56);
    EXPECT_TRUE(test::waitFor([&] { return counter() == base + 9; })) << counter() - base;
    auto descriptors = openDescriptors();
    mode->rebindICMPSockets(); // in place of the open sockets
    EXPECT_EQ(openDescriptors(), descriptors);
    // The client's own router and neighbour messages are no failures.
    EXPECT_EQ(logger->count("Failed to send"), 0);
}

// With the client's loopback down and its addresses gone, what it sends to 127.0.0.1 or ::1
// enters the tunnel: the refusal reaches the app at once, not at its own time-out.
TEST_P(LWIPModeDatagramTest, AConnectToLoopbackThroughTheTunnelFailsAtOnce) {
    cli("ip link set lo down && ip addr flush dev lo");
    auto started = std::chrono::steady_clock::now();
    auto out = cli("curl -sv --connect-timeout 5 http://" + GetParam().loopback + ":9/");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << out;
    EXPECT_NE(out.find("Connection refused"), std::string::npos) << out;
}

// A UDP echo server whose receive buffer holds a whole burst, on a thread of its own: it loses
// nothing, however busy the machine, so every loss is the path's.
class EchoServer {
public:
    explicit EchoServer(const std::string& address) {
        auto local = AsyncUdpSocket::socketAddress(address, 0);
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        fd_ = ::socket(SocketAddress::familyOf(local), SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 32 << 20;
        if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0 ||
            ::bind(fd_, reinterpret_cast<const sockaddr*>(local.data()),
                   static_cast<socklen_t>(local.size())) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
            throw std::runtime_error(std::string("echo server: ") + std::strerror(errno));
        port_ = AsyncUdpSocket::hostAndPort(Data(reinterpret_cast<std::uint8_t*>(&bound),
                                                 reinterpret_cast<std::uint8_t*>(&bound) + length))
                    ->second;
        thread_ = std::thread([this] {
            std::vector<std::uint8_t> buffer(65536);
            while (!stop_) {
                pollfd readable{fd_, POLLIN, 0};
                if (::poll(&readable, 1, 100) <= 0)
                    continue;
                sockaddr_storage from{};
                socklen_t fromLength = sizeof from;
                ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n >= 0)
                    ::sendto(fd_, buffer.data(), static_cast<std::size_t>(n), 0,
                             reinterpret_cast<sockaddr*>(&from), fromLength);
            }
        });
    }
    ~EchoServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A burst of datagrams from many sockets, sent faster than anyone relays them, to a server
// that answers every one: the device holds the burst while the program catches up, so the
// tunnel loses no more of it than the kernel's own path straight from the gateway (nothing).
// Shares of the same burst are compared, never times.
TEST_P(LWIPModeDatagramTest, UdpBurstGetsAtLeastTheDirectPathsShare) {
    const char* source = std::getenv("PEMTROX_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through ctest, which sets PEMTROX_SOURCE_DIR";
    if (test::runCommand("command -v python3").empty())
        GTEST_SKIP() << "needs python3";
    std::optional<EchoServer> echo;
    NetworkNamespace::named(spaces->srv).run([&] { echo.emplace(GetParam().server); });
    auto burst = [&](const std::string& space) {
        auto out = test::TunnelNamespaces::in(
            space, fmt::format("python3 {}/tests/support/tunnel/udp_burst.py burst {} {} 500 5000 64 5",
                               source, GetParam().server, echo->port()));
        auto at = out.find("\"share\": ");
        EXPECT_NE(at, std::string::npos) << out;
        return std::make_pair(at == std::string::npos ? 0.0 : std::atof(out.c_str() + at + 9), out);
    };
    auto [direct, directOut] = burst(spaces->gw);
    auto [tunnel, tunnelOut] = burst(spaces->cli);
    EXPECT_GE(tunnel, 0.95 * direct) << "through the tunnel: " << tunnelOut << "straight: " << directOut
                                     << test::TunnelNamespaces::in(spaces->cli, "ip -s link show pxtun0");
    EXPECT_GT(direct, 0.9) << directOut;
}

INSTANTIATE_TEST_SUITE_P(
    Families, LWIPModeDatagramTest,
    ::testing::Values(Family{"ipv4", "203.0.113.10", "203.0.113.53", "IcmpInEchos", "127.0.0.1"},
                      Family{"ipv6", "2001:db8::10", "2001:db8::53", "Icmp6InEchos", "[::1]"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
