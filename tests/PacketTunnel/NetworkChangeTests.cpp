#include <gtest/gtest.h>

#include "PacketTunnel/PacketTunnelProvider.h"
#include "platform/DispatchQueue.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/FakeTunnelPlatform.h"

using namespace pemtrox;
using namespace reachabilityFlag;

namespace {

TEST(ReachabilityText, FlagsAndErrors) {
    struct Row {
        ReachabilityFlags flags;
        std::string text;
    } rows[] = {
        {0, ""},
        {reachable, "Reachable"},
        {reachable | isWWAN, "WWAN, Reachable"},
        {connectionOnTraffic, "Connection automatic, Connection on traffic"},
        {0xffffffff,
         "Connection automatic, Connection on demand, Connection on traffic, Connection required, "
         "Intervention required, Is direct, Is local address, WWAN, Reachable, Transient connection"}};
    for (const auto& row : rows)
        EXPECT_EQ(reachabilityFlagsText(row.flags), row.text) << row.flags;
    for (auto [code, text] : {std::pair{ReachabilityError::createFailed, "create network reachability"},
                              {ReachabilityError::startFailed, "start network reachability monitor"},
                              {ReachabilityError::stopFailed, "stop network reachability monitor"},
                              {ReachabilityError::getFlagsFailed, "get network reachability flags"}})
        EXPECT_EQ(ReachabilityError(code).description(), std::string("Failed to ") + text);
}

class ChangeProvider : public PacketTunnelProvider {
public:
    std::vector<std::string> systemDnsServers() override { return {servers}; }
    void invalidateICMPSockets() override { icmp += "-"; }
    void rebindICMPSockets() override { icmp += "+"; }
    std::string servers = "192.0.2.53";
    std::string icmp; // on the main queue
};

// The procedure with a platform that answers only when the test lets it.
class NetworkChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform->hold = true;
        provider.reset(new ChangeProvider());
        provider->setTunnelPlatform(platform);
        provider->networkTunnelSettings = provider->makeTunnelNetworkSettings(PacketTunnelMode::LWIP);
    }
    void TearDown() override {
        DispatchQueue::main()->sync([&] { provider.reset(); });
    }
    void change(ReachabilityFlags flags) {
        DispatchQueue::main()->sync([&] { provider->networkChanged(flags); });
    }
    // Answers the next request once it has come; false when none comes.
    bool answerNext(std::size_t requests) {
        return test::waitFor([&] { return platform->count() >= requests; }) && platform->release();
    }
    std::string icmp() {
        return DispatchQueue::main()->onQueue([&] { return provider->icmp; });
    }
    bool reasserting() {
        return DispatchQueue::main()->onQueue([&] { return provider->reasserting(); });
    }
    std::string requests() {
        std::string out;
        std::lock_guard lock(platform->mutex);
        for (const auto& settings : platform->applied)
            out += settings ? "apply(" + settings->dnsSettings->servers.at(0) + ") " : "clear ";
        return out;
    }

    std::shared_ptr<test::FakeTunnelPlatform> platform = std::make_shared<test::FakeTunnelPlatform>();
    std::shared_ptr<ChangeProvider> provider;
};

TEST_F(NetworkChangeTest, ChangesDuringARunGiveOneMoreRunWithTheLastFlags) {
    auto logger = test::CapturingLogger::install();
    change(reachable);
    EXPECT_TRUE(reasserting());
    ASSERT_TRUE(answerNext(1)); // the clearing
    change(reachable | isWWAN);
    provider->servers = "192.0.2.54";
    change(reachable | isDirect);
    ASSERT_TRUE(answerNext(2)); // the renewal
    ASSERT_TRUE(answerNext(3));
    ASSERT_TRUE(answerNext(4));
    EXPECT_TRUE(test::waitFor([&] { return !reasserting(); }));
    EXPECT_EQ(requests(), "clear apply(192.0.2.53) clear apply(192.0.2.54) ");
    EXPECT_EQ(logger->count("Network changed Reachable. Clearing current network settings..."), 1);
    EXPECT_EQ(logger->count("Network changed Is direct, Reachable. Clearing current network settings..."), 1);
    EXPECT_EQ(logger->count("WWAN"), 0);
    EXPECT_EQ(logger->count("Network changed. Updating DNS servers to [192.0.2.54]"), 1);
    EXPECT_EQ(logger->count("Network tunnel settings updated"), 2);
    EXPECT_EQ(icmp(), "-+-+");

    // Idle again: the next change starts a run of its own.
    platform->hold = false;
    change(reachable);
    EXPECT_TRUE(test::waitFor([&] { return platform->count() == 6 && !reasserting(); }));
    logger->uninstall();
}

TEST_F(NetworkChangeTest, ARefusedStepEndsOrContinuesTheRun) {
    auto logger = test::CapturingLogger::install();
    platform->hold = false;
    platform->answers = {makeError<GenericError>("clearing refused")};
    change(reachable);
    EXPECT_TRUE(test::waitFor([&] { return !reasserting(); }));
    EXPECT_EQ(requests(), "clear ");
    EXPECT_EQ(icmp(), "-+") << "pings would be dropped until a later change";

    platform->answers = {nullptr, makeError<GenericError>("renewal refused")};
    change(reachable);
    EXPECT_TRUE(test::waitFor([&] { return !reasserting(); }));
    EXPECT_EQ(requests(), "clear clear apply(192.0.2.53) ");
    EXPECT_TRUE(logger->contains("Failed to update network tunnel settings: renewal refused"));
    EXPECT_EQ(icmp(), "-+-+");
    logger->uninstall();
}

TEST_F(NetworkChangeTest, AStopEndsTheRunBeforeItsNextStep) {
    change(reachable);
    change(reachable | isDirect); // waits for the run
    DispatchQueue::main()->sync([&] { provider->stopTunnel(0, [] {}); });
    EXPECT_EQ(platform->stops, 1);
    ASSERT_TRUE(answerNext(1));
    EXPECT_TRUE(test::waitFor([&] { return !reasserting(); }));
    EXPECT_EQ(requests(), "clear ") << "nothing is applied to a tunnel that is gone";
    change(reachable);
    EXPECT_EQ(requests(), "clear ");
    EXPECT_EQ(icmp(), "-");
}

} // namespace
