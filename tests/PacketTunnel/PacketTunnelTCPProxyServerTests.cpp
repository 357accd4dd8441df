#include <sys/socket.h>

#include <future>

#include <gtest/gtest.h>

#include "PacketTunnel/PacketTunnelTCPProxyServer.h"
#include "proxy/io/InetAddress.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::Packet;
using pemtrox::test::TcpPeer;

namespace {

const std::string app4 = "198.18.72.254", app6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";

using test::localAddress;

// Refuses or redirects at the request steps, and notes the record as it is when connecting.
class ScriptedListener : public test::RecordingProxyListener {
public:
    ErrorPtr throwOnAddress;
    std::shared_ptr<const InetAddress> redirect;
    std::string atConnecting;

    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& e) override {
        RecordingProxyListener::proxyListenerReceivedRequestAddress(e);
        if (throwOnAddress)
            throwOnAddress->raise();
    }
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& e) override {
        if (redirect)
            e->remoteAddress = redirect;
        RecordingProxyListener::proxyListenerReceivedRequestURL(e);
    }
    void proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>& e) override {
        RecordingProxyListener::proxyListenerConnectingToRemote(e);
        atConnecting =
            e->host.value_or("-") + " " + std::to_string(e->port.value_or(0)) +
            " tunnel=" + std::to_string(e->tunnel) + " client=" + e->clientLocalAddress->description() + ":" +
            std::to_string(e->clientLocalPort.value_or(0)) + " remote=" + e->remoteAddress->description() +
            ":" + std::to_string(e->remotePort.value_or(0)) + " scheme=" + e->scheme.value_or("-") +
            " method=" + e->method.value_or("-");
    }
};

class RelayTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        relay = PacketTunnelTCPProxyServer::make(queue);
        relay->addProxyListener(listener);
        relay->start();
    }
    void TearDown() override {
        if (relay) {
            relay->stop();
            EXPECT_TRUE(test::waitFor([&] { return onStack([&] { return relay->socketCount(); }) == 0; }));
            listener->clear();
            relay.reset();
        }
        StackHarness::TearDown();
    }
    int count(const std::string& step) {
        auto names = listener->names();
        return static_cast<int>(std::count(names.begin(), names.end(), step));
    }

    std::shared_ptr<PacketTunnelTCPProxyServer> relay;
    std::shared_ptr<ScriptedListener> listener = std::make_shared<ScriptedListener>();
};

// Parameter cases print as their names in listings and failures.
template <class Case>
requires requires(Case c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

struct HalfCloseCase {
    const char* name;
    int family;
    bool appEndsFirst;
};

class RelayHalfCloseTest : public RelayTest, public ::testing::WithParamInterface<HalfCloseCase> {};

// A clean end of one direction reaches the other peer as a FIN and the other direction
// goes on to its end: an app that sends and half-closes gets the whole reply, a server
// that half-closes gets the whole upload.
TEST_P(RelayHalfCloseTest, EachDirectionRunsToItsOwnEnd) {
    const auto& c = GetParam();
    auto destination = localAddress(c.family);
    if (destination.empty())
        GTEST_SKIP() << "no address of this family besides loopback";
    const std::string reply(50000, 'r'), upload(30000, 'u');
    std::promise<std::string> serverGot;
    test::TestOrigin server(
        [&](test::OriginConnection& connection, test::TestOrigin&) {
            if (!c.appEndsFirst) {
                connection.write("hello");
                connection.shutdownWrite();
            }
            serverGot.set_value(connection.readToEnd());
            if (c.appEndsFirst)
                connection.write(reply);
        },
        destination);
    TcpPeer peer(*this, c.family == AF_INET ? app4 : app6, 40000, destination, server.port());
    ASSERT_TRUE(peer.connect());
    if (c.appEndsFirst)
        peer.send(toData("request"), Packet::fin);
    ASSERT_TRUE(peer.waitUntil([&] { return peer.finReceived; }));
    EXPECT_EQ(peer.received, c.appEndsFirst ? reply : "hello");
    if (!c.appEndsFirst) {
        for (std::size_t at = 0; at < upload.size(); at += 1000)
            peer.send(toData(upload.substr(at, 1000)));
        peer.fin();
    }
    auto got = serverGot.get_future();
    ASSERT_EQ(got.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(got.get(), c.appEndsFirst ? "request" : upload);
    ASSERT_TRUE(test::waitFor([&] { return count("complete") == 1; }));
    EXPECT_FALSE(peer.rstReceived);
    auto evt = listener->exchanges("complete").at(0);
    EXPECT_EQ(evt->requestSize, c.appEndsFirst ? 7 : 30000);
    EXPECT_EQ(evt->responseSize, c.appEndsFirst ? 50000 : 5);
    EXPECT_EQ(evt->status, ProxyEventStatus::complete);
    EXPECT_TRUE(evt->connectDuration && evt->requestBeginTime && evt->responseBeginTime && evt->endTime);
    EXPECT_EQ(count("exception"), 0);
}

INSTANTIATE_TEST_SUITE_P(Ends, RelayHalfCloseTest,
                         ::testing::Values(HalfCloseCase{"AppEndsFirst4", AF_INET, true},
                                           HalfCloseCase{"ServerEndsFirst4", AF_INET, false},
                                           HalfCloseCase{"AppEndsFirst6", AF_INET6, true},
                                           HalfCloseCase{"ServerEndsFirst6", AF_INET6, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The exchange of a connection to :443, and a destination that refuses it: one warning,
// a reset for the app, one exception, and no outgoing socket left behind.
TEST_F(RelayTest, RefusedDestinationResetsTheApp) {
    auto destination = localAddress(AF_INET);
    if (destination.empty())
        GTEST_SKIP() << "no IPv4 address besides loopback";
    if (test::runCommand("ss -Hltn 'sport = :443' | wc -l") != "0\n")
        GTEST_SKIP() << "something listens on port 443 here";
    auto log = test::CapturingLogger::install();
    TcpPeer peer(*this, app4, 40001, destination, 443);
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.waitUntil([&] { return peer.rstReceived; }));
    EXPECT_EQ(listener->atConnecting, destination + " 443 tunnel=1 client=localhost/" + app4 +
                                          ":40001 remote=" + destination + "/" + destination +
                                          ":443 scheme=- method=-");
    ASSERT_TRUE(test::waitFor([&] { return count("exception") == 1; }));
    EXPECT_EQ(log->count("TCP Proxy: Remote socket failed to connect to "), 1);
    EXPECT_EQ(listener->exchanges("exception").at(0)->status, ProxyEventStatus::exception);
}

struct RefusalCase {
    const char* name;
    bool atAddress, atURL, badRemote;
    const char* steps;
    bool recordsException;
};

class RelayRefusalTest : public RelayTest, public ::testing::WithParamInterface<RefusalCase> {};

// A listener's throw at the address step is recorded as the exception, one at the URL step
// is not; a remote address that cannot even start a connect fails inside the accept. Each
// resets the app and leaves no socket behind.
TEST_P(RelayRefusalTest, AppIsReset) {
    const auto& c = GetParam();
    if (c.atAddress)
        listener->throwOnAddress = makeError<GenericError>("blocked");
    if (c.atURL)
        listener->throwOnURL = makeError<GenericError>("blocked");
    if (c.badRemote)
        listener->redirect = std::make_shared<InetAddress>("bad", "not an address");
    TcpPeer peer(*this, app4, 40002, "203.0.113.10", 8080);
    ASSERT_TRUE(peer.connect()); // the stack accepts once the handshake completes
    ASSERT_TRUE(peer.waitUntil([&] { return peer.rstReceived; }));
    std::string steps;
    for (auto& name : listener->names())
        steps += name + " ";
    EXPECT_EQ(steps, c.steps);
    auto evt = listener->exchanges("connect").at(0);
    EXPECT_EQ(evt->exception != nullptr, c.recordsException);
    EXPECT_EQ(evt->endTime.has_value(), c.atAddress);
    EXPECT_EQ(evt->status,
              c.recordsException ? ProxyEventStatus::exception : ProxyEventStatus::receivedRequestURL);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RelayRefusalTest,
    ::testing::Values(RefusalCase{"Address", true, false, false, "connect address exception ", true},
                      RefusalCase{"URL", false, true, false, "connect address url ", false},
                      RefusalCase{"ConnectFailsAtOnce", false, false, true,
                                  "connect address url connecting exception ", true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
