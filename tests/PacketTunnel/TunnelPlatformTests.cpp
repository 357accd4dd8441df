#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <future>
#include <numeric>

#include <gtest/gtest.h>

#include "PacketTunnel/PacketTunnelProvider.h"
#include "PacketTunnel/Resolver.h"
#include "PacketTunnel/TunPacketFlow.h"
#include "platform/AsyncUdpSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/NetnsTunnelPlatform.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/PacketFlowReads.h"
#include "tests/support/tunnel/TunnelNamespaces.h"

using namespace pemtrox;
using pemtrox::test::Packet;
using namespace std::chrono_literals;

namespace {

/// A provider reading the DNS servers of gw.
class GwProvider : public PacketTunnelProvider {
public:
    explicit GwProvider(std::filesystem::path resolvConf) : resolvConf_(std::move(resolvConf)) {}
    std::vector<std::string> systemDnsServers() override {
        return Resolver::tunnelDnsServers(resolvConf_, "/nonexistent");
    }

private:
    std::filesystem::path resolvConf_;
};

// The platform as the program in gw uses it, with its device moved into cli.
class TunnelPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = test::TunnelNamespaces::unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        spaces = std::make_unique<test::TunnelNamespaces>();
        gw = std::make_unique<NetworkNamespace>(NetworkNamespace::named(spaces->gw));
        gw->run([&] { platform = NetnsTunnelPlatform::make(spaces->cli, dir.path()); });
        provider = std::make_shared<GwProvider>(spaces->gwResolvConf());
        settings = provider->makeTunnelNetworkSettings(PacketTunnelMode::LWIP);
    }
    void TearDown() override {
        if (flow)
            flow->close();
        if (platform)
            platform->stop();
        DispatchQueue::main()->sync([&] { provider.reset(); });
    }
    void openDevice() {
        auto device = platform->openTunnelDevice();
        ASSERT_TRUE(device);
        name = device->name();
        flow = TunPacketFlow::make(std::move(*device));
    }
    ErrorPtr apply(const std::optional<TunnelNetworkSettings>& what) {
        std::promise<ErrorPtr> done;
        platform->apply(what, [&](ErrorPtr error) { done.set_value(error); });
        return done.get_future().get();
    }
    std::string cli(const std::string& command) { return test::TunnelNamespaces::in(spaces->cli, command); }
    // What of the tunnel is in place in cli, one line per item.
    std::string inPlace() {
        std::string out;
        auto has = [&](const std::string& command, const std::string& text, const std::string& label) {
            if (cli(command).find(text) != std::string::npos)
                out += label + "\n";
        };
        has("ip -br link", name, "device");
        has("ip addr show dev " + name, "198.18.72.254/24", "ipv4 address");
        has("ip addr show dev " + name, "fd92:1d98:ae72:f4ca:1234:1234:1234:1234/64", "ipv6 address");
        has("ip route show default", "default dev " + name, "ipv4 default");
        has("ip -6 route show default", "default dev " + name, "ipv6 default");
        has("ip -6 route show type throw", "throw ff02::/16", "throw ff02::/16");
        if (std::filesystem::exists(spaces->cliResolvConf()))
            out += "resolv.conf:" + cli("grep ^nameserver /etc/resolv.conf | tr \"\\n\" \" \"") + "\n";
        if (std::filesystem::exists(platform->proxyEnvPath()))
            out += "proxy.env:" + test::runCommand("grep ^http_proxy= " + platform->proxyEnvPath().string());
        return out;
    }

    test::TempDir dir;
    std::unique_ptr<test::TunnelNamespaces> spaces;
    std::unique_ptr<NetworkNamespace> gw;
    std::shared_ptr<NetnsTunnelPlatform> platform;
    std::shared_ptr<GwProvider> provider;
    TunnelNetworkSettings settings;
    std::shared_ptr<TunPacketFlow> flow;
    std::string name;
};

TEST_F(TunnelPlatformTest, SettingsAreAppliedInTheClientNamespaceAndRemovedAtStop) {
    EXPECT_EQ(apply(settings)->description(),
              "No tunnel device in the namespace " + spaces->cli + " to apply the settings to");
    openDevice();
    EXPECT_EQ(test::TunnelNamespaces::in(spaces->gw, "ip -br link | grep -c " + name), "0\n")
        << "moved out of the program's namespace";
    const std::string all =
        "device\nipv4 address\nipv6 address\nipv4 default\nipv6 default\nthrow ff02::/16\n"
        "resolv.conf:nameserver 203.0.113.53 nameserver 2001:db8::53 \n"
        "proxy.env:http_proxy=http://198.18.72.253:8888/\n";
    ASSERT_EQ(apply(settings), nullptr);
    EXPECT_EQ(inPlace(), all);
    // Cleared, the files stay for the clients that have them open.
    ASSERT_EQ(apply(std::nullopt), nullptr);
    EXPECT_EQ(inPlace(), "device\nresolv.conf:nameserver 203.0.113.53 nameserver 2001:db8::53 \n"
                         "proxy.env:http_proxy=http://198.18.72.253:8888/\n");
    ASSERT_EQ(apply(settings), nullptr);
    EXPECT_EQ(inPlace(), all);
    flow->close();
    platform->stop();
    EXPECT_EQ(inPlace(), "");
    EXPECT_FALSE(std::filesystem::exists(spaces->cliResolvConf().parent_path()));
}

TEST_F(TunnelPlatformTest, TheProgramsOwnNamespaceIsRefusedAndAMissingOneIsMade) {
    std::string fresh = "pxnew" + std::to_string(getpid());
    gw->run([&] {
        try {
            NetnsTunnelPlatform::make(spaces->gw, dir.path());
            ADD_FAILURE() << "made in its own namespace";
        } catch (const Error& error) {
            EXPECT_NE(error.description().find("is the program's own"), std::string::npos)
                << error.description();
        }
        NetnsTunnelPlatform::make(fresh, dir.path());
    });
    EXPECT_NE(test::TunnelNamespaces::in(fresh, "ip -br link show lo").find("UNKNOWN"), std::string::npos);
    test::runCommand("ip netns del " + fresh);
}

// What a test killed before its end left, named after its process, goes with the next test's
// namespaces and temporary directory; a running test's stays.
TEST(TestLeftovers, OfAnEndedProcessGoAndOfARunningOneStay) {
    if (auto reason = test::TunnelNamespaces::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    waitpid(ended, nullptr, 0);
    auto id = std::to_string(ended), live = "pxsrv" + std::to_string(getppid());
    auto left = std::filesystem::temp_directory_path() / ("pemtrox-test-" + id + "-left");
    std::filesystem::create_directories(left / "inside");
    test::TunnelNamespaces::must("ip netns add pxcli" + id + " && mkdir -p /etc/netns/pxgw" + id +
                                 " && ip netns add " + live);
    {
        test::TempDir dir;
        test::TunnelNamespaces spaces;
    }
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_FALSE(std::filesystem::exists("/run/netns/pxcli" + id));
    EXPECT_FALSE(std::filesystem::exists("/etc/netns/pxgw" + id));
    EXPECT_TRUE(std::filesystem::exists("/run/netns/" + live));
    test::runCommand("ip netns del " + live);
}

/// The kernel's "File exists" alone names neither the device nor whose it may be.
TEST_F(TunnelPlatformTest, ASecondPlatformForTheNamespaceNamesTheDeviceAnotherInstanceHolds) {
    openDevice();
    std::shared_ptr<NetnsTunnelPlatform> second;
    gw->run([&] { second = NetnsTunnelPlatform::make(spaces->cli, dir.path() / "second"); });
    try {
        second->openTunnelDevice();
        ADD_FAILURE() << "a second device moved in";
    } catch (const Error& error) {
        EXPECT_EQ(error.description().rfind("The network namespace " + spaces->cli +
                                                " already has a device " + name +
                                                ", which another pemtrox instance for it may hold: move link",
                                            0),
                  0u)
            << error.description();
        EXPECT_NE(error.description().find("File exists"), std::string::npos) << error.description();
    }
    second->stop();
    EXPECT_EQ(test::TunnelNamespaces::in(spaces->gw, "ip -br link | grep -c pemtrox"), "0\n")
        << "the refused device is gone";
    EXPECT_NE(cli("ip -br link").find(name), std::string::npos) << "the first one stays";
}

struct Family {
    const char* name;
    std::string local, peer;
};
void PrintTo(const Family& f, std::ostream* os) {
    *os << f.name;
}

class TunnelPacketsTest : public TunnelPlatformTest, public ::testing::WithParamInterface<Family> {
protected:
    // Reads batches until a UDP datagram to the port comes.
    std::optional<Packet> readUdp(std::uint16_t port) {
        for (int batches = 0; batches < 100; ++batches) {
            auto batch = test::readBatch(flow, 20s);
            if (!batch)
                return std::nullopt;
            for (const auto& bytes : *batch)
                if (auto packet = Packet::parse(bytes);
                    packet && packet->protocol == Packet::udp && packet->destinationPort == port)
                    return packet;
        }
        return std::nullopt;
    }
};

TEST_P(TunnelPacketsTest, PacketsPassBothWaysAndClosingRemovesTheDevice) {
    const auto& f = GetParam();
    openDevice();
    ASSERT_EQ(apply(settings), nullptr);
    auto peer = AsyncUdpSocket::socketAddress(f.peer, 9),
         local = AsyncUdpSocket::socketAddress(f.local, 5000);
    auto family = reinterpret_cast<const sockaddr*>(local.data())->sa_family;
    int socket = -1; // in cli
    NetworkNamespace::named(spaces->cli).run([&] {
        socket = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    });
    timeval timeout{20, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ASSERT_EQ(bind(socket, reinterpret_cast<const sockaddr*>(local.data()), local.size()), 0)
        << std::strerror(errno);
    ASSERT_EQ(sendto(socket, "hello", 5, 0, reinterpret_cast<const sockaddr*>(peer.data()), peer.size()), 5)
        << std::strerror(errno);
    auto out = readUdp(9);
    ASSERT_TRUE(out) << "the datagram never left through the device";
    EXPECT_EQ(out->source + " " + out->destination + " " + toString(out->payload),
              f.local + " " + f.peer + " hello");

    // Larger than the device's MTU of 1500. Now and then (IPv6, busy machine, about one run in
    // 25) one written to the device never reaches the socket, so it is sent again until one does.
    auto in = Packet::udpDatagram(f.peer, 7, f.local, 5000, Data(3000, 'x')).build();
    timeval retry{2, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &retry, sizeof retry);
    Data received(4000);
    ssize_t got = -1;
    for (int tries = 0; tries < 10 && got < 0; ++tries) {
        EXPECT_TRUE(flow->writePackets({in}, {family}));
        got = recv(socket, received.data(), received.size(), 0);
    }
    EXPECT_EQ(got, 3000) << std::strerror(errno);
    // The same packet handed over in pieces leaves as one.
    std::array<iovec, 3> pieces{iovec{in.data(), 20}, iovec{in.data() + 20, 1000},
                                iovec{in.data() + 1020, in.size() - 1020}};
    got = -1;
    for (int tries = 0; tries < 10 && got < 0; ++tries) {
        EXPECT_TRUE(flow->writePacket(pieces, family));
        got = recv(socket, received.data(), received.size(), 0);
    }
    EXPECT_EQ(got, 3000) << std::strerror(errno);
    EXPECT_EQ(Data(received.begin(), received.begin() + 3000), Data(3000, 'x'));
    close(socket);

    flow->close();
    EXPECT_EQ(cli("ip -br link | grep -c " + name), "0\n");
    EXPECT_FALSE(flow->writePackets({in}, {family}));
    EXPECT_FALSE(flow->writePacket(pieces, family));
}

// Delivered on a queue of its own, a read asked for inside a delivery is served in the same
// turn of the queue, four batches at most, before the queue's other work; nothing is lost or
// reordered on the way, and no batch is delivered inside the read that asked for it.
TEST_F(TunnelPlatformTest, ReadsAskedForInsideADeliveryGoOnForFourBatches) {
    openDevice();
    ASSERT_EQ(apply(settings), nullptr);
    constexpr int datagrams = 300; // five batches, all waiting in the device before the first read
    auto peer = AsyncUdpSocket::socketAddress("203.0.113.10", 9);
    auto local = AsyncUdpSocket::socketAddress("198.18.72.254", 5000);
    int socket = -1;
    NetworkNamespace::named(spaces->cli).run([&] {
        socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    });
    ASSERT_EQ(bind(socket, reinterpret_cast<const sockaddr*>(local.data()), local.size()), 0)
        << std::strerror(errno);
    for (int i = 0; i < datagrams; ++i) {
        auto text = std::to_string(i);
        ASSERT_EQ(sendto(socket, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(peer.data()),
                         peer.size()),
                  static_cast<ssize_t>(text.size()));
    }
    close(socket);

    auto queue = DispatchQueue::make("reader");
    flow->setDeliveryQueue(queue);
    std::promise<void> done;
    int batches = 0, otherWorkAfter = 0; // on the queue
    bool asking = false;
    std::vector<int> got, want(datagrams);
    std::iota(want.begin(), want.end(), 0);
    std::function<void()> ask = [&] {
        asking = true;
        flow->readPackets([&](PacketFlow::Packets packets, auto) {
            EXPECT_FALSE(asking) << "delivered inside the read";
            if (++batches == 1)
                queue->async([&] { otherWorkAfter = batches; });
            for (const auto& bytes : packets)
                if (auto packet = Packet::parse(bytes);
                    packet && packet->protocol == Packet::udp && packet->destinationPort == 9)
                    got.push_back(std::stoi(toString(packet->payload)));
            if (got.size() >= want.size())
                done.set_value();
            else
                ask();
        });
        asking = false;
    };
    queue->sync(ask);
    ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
    queue->sync([&] {
        EXPECT_EQ(got, want);
        EXPECT_EQ(otherWorkAfter, 4);
        EXPECT_GE(batches, 5);
    });
    flow->close();
}

INSTANTIATE_TEST_SUITE_P(Families, TunnelPacketsTest,
                         ::testing::Values(Family{"ipv4", "198.18.72.254", "203.0.113.10"},
                                           Family{"ipv6", "fd92:1d98:ae72:f4ca:1234:1234:1234:1234",
                                                  "2001:db8::10"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
