#include <gtest/gtest.h>

#include <deque>

#include "PacketTunnel/NetworkChangeProcedure.h"
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

// The procedure alone. A script is a list of events: a digit is a change with those flags,
// "o" and "e" answer the oldest platform request with success or an error, "s" stops. The
// steps write "[" and "]" as reasserting goes on and off, "-" and "+" for the ICMP sockets,
// "C" for a clearing and "R" followed by the DNS read's number for a renewal.
TEST(NetworkChangeProcedure, RunsAndWaitingChangesFollowTheScript) {
    const ReachabilityFlags flags[] = {0, reachable, reachable | isWWAN, reachable | isDirect};
    struct Row {
        const char *script, *steps, *runs; // runs: the flags of each run, as logged
    } rows[] = {
        {"1oo", "[-CR1+]", "1"},
        {"123oooo", "[-CR1+-CR2+]", "13"},  // the newest waiting change wins
        {"1o2ooo", "[-CR1+-CR2+]", "12"},   // a change while renewing waits too
        {"1oo2oo", "[-CR1+][-CR2+]", "12"}, // idle in between: a run of its own
        {"1e", "[-C+]", "1"},               // a refused clearing opens the sockets again
        {"12eoo", "[-C+-CR1+]", "12"},      // and takes up the waiting change
        {"1oe", "[-CR1+]", "1"},            // a refused renewal ends the run as usual
        {"1so2", "[-C]", "1"},              // a stop ends the run before its next step
        {"1oso", "[-CR1]", "1"},
        {"12so", "[-C]", "1"}, // and drops the waiting change
        {"s1", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        auto logger = test::CapturingLogger::install();
        auto queue = DispatchQueue::make("changes");
        std::string steps;
        int dnsReads = 0;
        std::deque<std::function<void(ErrorPtr)>> requests;
        NetworkChangeProcedure::Steps fake;
        fake.clearSettings = [&](auto done) { steps += "C", requests.push_back(done); };
        fake.renewSettings = [&](auto servers, auto done) {
            steps += "R" + servers.at(0), requests.push_back(done);
        };
        fake.dnsServers = [&] { return std::vector<std::string>{std::to_string(++dnsReads)}; };
        fake.invalidateICMPSockets = [&] { steps += "-"; };
        fake.rebindICMPSockets = [&] { steps += "+"; };
        fake.setReasserting = [&](bool on) { steps += on ? "[" : "]"; };
        auto procedure = NetworkChangeProcedure::make(fake, queue);
        for (const char* event = row.script; *event; ++event) {
            if (*event == 'o' || *event == 'e') {
                ASSERT_FALSE(requests.empty());
                auto answer = queue->onQueue([&] { return std::exchange(requests.front(), nullptr); });
                queue->sync([&] { requests.pop_front(); });
                answer(*event == 'e' ? makeError<GenericError>("refused") : nullptr);
                queue->sync([] {}); // the answer is taken up on the queue
            } else {
                queue->sync([&] {
                    *event == 's' ? procedure->stop() : procedure->networkChanged(flags[*event - '0']);
                });
            }
        }
        logger->uninstall();
        EXPECT_EQ(steps, row.steps);
        std::string runs;
        for (const auto& line : logger->lines())
            for (int i = 1; i <= 3; ++i)
                if (line == "Network changed " + reachabilityFlagsText(flags[i]) +
                                ". Clearing current network settings...")
                    runs += std::to_string(i);
        EXPECT_EQ(runs, row.runs);
        queue->sync([&] { procedure.reset(); });
    }
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
