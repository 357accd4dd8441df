#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>

#include <gtest/gtest.h>

#include "PacketTunnel/TunPacketFlow.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using pemtrox::test::Packet;

namespace {

struct TunCase {
    const char* name;
    std::string local, peer; // the device's address and one behind it
};
void PrintTo(const TunCase& c, std::ostream* os) {
    *os << c.name;
}

sockaddr_storage socketAddress(const std::string& text, std::uint16_t port) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1)
        v4->sin_family = AF_INET, v4->sin_port = htons(port);
    else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1)
        v6->sin6_family = AF_INET6, v6->sin6_port = htons(port);
    return storage;
}

// The device lives in a network namespace of the test thread's own: nothing of the
// machine's networking changes, and the namespace goes with the test.
class TunPacketFlowTest : public ::testing::TestWithParam<TunCase> {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: makes a TUN device in a network namespace of its own";
        if (access("/dev/net/tun", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no /dev/net/tun on this machine";
        home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(home, 0);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        flow = TunPacketFlow::make("pemtrox0");
        int status = -1;
        auto out =
            test::runCommand("ip link set lo up && ip link set pemtrox0 up && ip addr add 10.66.0.1/24 dev "
                             "pemtrox0 && ip addr add fd66::1/64 dev pemtrox0 nodad 2>&1",
                             &status);
        ASSERT_EQ(status, 0) << out;
    }
    void TearDown() override {
        if (flow)
            flow->close();
        if (home >= 0)
            setns(home, CLONE_NEWNET), close(home);
    }
    // Reads batches until a UDP datagram to the port comes.
    std::optional<Packet> readUdp(std::uint16_t port) {
        for (int batches = 0; batches < 100; ++batches) {
            auto batch = std::make_shared<std::promise<PacketFlow::Packets>>();
            flow->readPackets(
                [batch](PacketFlow::Packets packets, auto) { batch->set_value(std::move(packets)); });
            auto future = batch->get_future();
            if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
                return std::nullopt;
            for (const auto& bytes : future.get())
                if (auto packet = Packet::parse(bytes);
                    packet && packet->protocol == Packet::udp && packet->destinationPort == port)
                    return packet;
        }
        return std::nullopt;
    }

    int home = -1;
    std::shared_ptr<TunPacketFlow> flow;
};

TEST_P(TunPacketFlowTest, PacketsPassBothWaysAndClosingRemovesTheDevice) {
    const auto& c = GetParam();
    auto peer = socketAddress(c.peer, 9), local = socketAddress(c.local, 5000);
    int sender = socket(peer.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(sendto(sender, "hello", 5, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 5)
        << std::strerror(errno);
    close(sender);
    auto out = readUdp(9);
    ASSERT_TRUE(out) << "the datagram never left through the device";
    EXPECT_EQ(out->destination, c.peer);
    EXPECT_EQ(out->payload, toData("hello"));

    // Larger than the device's MTU of 1500.
    int receiver = socket(local.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval timeout{20, 0};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << std::strerror(errno);
    auto in = Packet::udpDatagram(c.peer, 7, c.local, 5000, Data(3000, 'x')).build();
    EXPECT_TRUE(flow->writePackets({in}, {local.ss_family}));
    Data received(4000);
    EXPECT_EQ(recv(receiver, received.data(), received.size(), 0), 3000) << std::strerror(errno);
    close(receiver);

    flow->close();
    EXPECT_EQ(if_nametoindex("pemtrox0"), 0u);
    EXPECT_FALSE(flow->writePackets({in}, {local.ss_family}));
}

INSTANTIATE_TEST_SUITE_P(Families, TunPacketFlowTest,
                         ::testing::Values(TunCase{"ipv4", "10.66.0.1", "10.66.0.2"},
                                           TunCase{"ipv6", "fd66::1", "fd66::2"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
