#include <sys/socket.h>

#include <atomic>

#include <gtest/gtest.h>

#include "PacketTunnel/PacketTunnelTCPProxyServer.h"
#include "lwip/timeouts.h"
#include "proxy/recording/RecordingListener.h"
#include "tests/recording/StoreSupport.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using namespace std::chrono_literals;
using pemtrox::test::TcpPeer;

namespace {

const std::string app4 = "198.18.72.254";

std::string pattern(std::size_t n, unsigned salt) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(((i + salt) * 2654435761u) >> 13);
    return out;
}

class RecordingPauseTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        relay = PacketTunnelTCPProxyServer::make(queue);
        relay->start();
    }
    void TearDown() override {
        if (relay) {
            relay->stop();
            EXPECT_TRUE(test::waitFor([&] { return onStack([&] { return relay->socketCount(); }) == 0; }));
            relay.reset();
        }
        StackHarness::TearDown();
    }

    std::shared_ptr<PacketTunnelTCPProxyServer> relay;
};

// A recorded download keeps coming while the writer is stalled until the writer is a bound
// behind, then pauses: the stack's queue stays free, its timers fire and an exchange that is
// not recorded runs to its end meanwhile. Once the writer resumes, the paused download
// finishes and its recording holds every byte.
TEST_F(RecordingPauseTest, StalledWriterPausesOnlyTheRecordedExchange) {
    auto destination = test::localAddress(AF_INET);
    if (destination.empty())
        GTEST_SKIP() << "no IPv4 address besides loopback";
    const auto big = pattern(8 << 20, 1), small = pattern(200000, 2);
    test::TestOrigin recordedOrigin(
        [&](test::OriginConnection& c, test::TestOrigin&) {
            c.write(big);
            c.close();
        },
        destination);
    test::TestOrigin plainOrigin(
        [&](test::OriginConnection& c, test::TestOrigin&) {
            c.write(small);
            c.close();
        },
        destination);
    test::Store store;
    RecordingSettings settings;
    settings.recordPartialOpaqueBody = false;
    settings.responseBodyMaxSize = static_cast<std::int64_t>(big.size());
    settings.exclude.emplace_back().portPattern = std::to_string(plainOrigin.port());
    auto listener = RecordingListener::make(store.root, settings, true);
    onStack([&] { relay->addProxyListener(listener); });
    auto stall = std::make_unique<test::StalledWriter>(*listener);

    TcpPeer recorded(*this, app4, 40100, destination, static_cast<std::uint16_t>(recordedOrigin.port()));
    ASSERT_TRUE(recorded.connect());
    // Paused: nothing more arrives for a second, long before the end.
    std::size_t seen = 0;
    auto still = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorded.waitUntil([&] {
        if (recorded.received.size() != seen)
            seen = recorded.received.size(), still = std::chrono::steady_clock::now();
        return seen > 0 && std::chrono::steady_clock::now() - still > 1s;
    }));
    EXPECT_LT(recorded.received.size(), big.size());
    EXPECT_FALSE(recorded.finReceived);

    std::atomic<bool> fired{false};
    onStack([&] {
        sys_timeout(
            50, [](void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }, &fired);
    });
    EXPECT_TRUE(test::waitFor([&] { return fired.load(); })) << "the stack's timers stopped";

    TcpPeer plain(*this, app4, 40101, destination, static_cast<std::uint16_t>(plainOrigin.port()));
    ASSERT_TRUE(plain.connect());
    ASSERT_TRUE(plain.waitUntil([&] { return plain.finReceived; }, 20s));
    EXPECT_EQ(plain.received, small);
    plain.fin();
    EXPECT_FALSE(recorded.finReceived) << "the recorded download went on while the writer was stalled";

    stall->resume();
    ASSERT_TRUE(recorded.waitUntil([&] { return recorded.finReceived; }, 60s));
    EXPECT_TRUE(recorded.received == big) << recorded.received.size() << " of " << big.size();
    recorded.fin();
    ASSERT_TRUE(store.ended(1)) << store.dump();
    auto dir = store.exchanges().at(0);
    EXPECT_TRUE(test::slurp(dir / "response.dat") == big);
    EXPECT_TRUE(test::metadataHolds(dir, ".status == \"COMPLETE\" and .response.sizes.body == " +
                                             std::to_string(big.size())))
        << store.dump();
    onStack([&] { relay->removeProxyListener(listener); });
}

} // namespace
