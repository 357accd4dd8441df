#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "PacketTunnel/PacketTunnelTCPProxyServer.h"
#include "proxy/io/InetAddress.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::Packet;
using pemtrox::test::TcpPeer;

namespace {

const std::string app4 = "198.18.72.254", app6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";

// An address of this machine other than loopback (the stack takes no loopback
// destinations), so that the relay's outgoing connection stays on this machine.
std::string localAddress(int family) {
    ifaddrs* list = nullptr;
    std::string found;
    if (getifaddrs(&list) != 0)
        return found;
    for (auto* entry = list; entry && found.empty(); entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != family || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET6_ADDRSTRLEN];
        const void* bytes =
            family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr);
        if (family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(static_cast<const in6_addr*>(bytes)))
            continue;
        found = inet_ntop(family, bytes, text, sizeof text);
    }
    freeifaddrs(list);
    return found;
}

// A server on every address (both families) that runs one script on the first connection.
class ScriptServer {
public:
    using Script = std::function<void(int fd)>;
    explicit ScriptServer(Script script) {
        fd_ = ::socket(AF_INET6, SOCK_STREAM, 0);
        int zero = 0;
        setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin6_port);
        done_ = std::async(std::launch::async, [this, script] {
            int client = ::accept(fd_, nullptr, nullptr);
            if (client >= 0) {
                script(client);
                ::close(client);
            }
        });
    }
    ~ScriptServer() {
        ::shutdown(fd_, SHUT_RDWR);
        done_.wait();
        ::close(fd_);
    }
    bool finished() { return done_.wait_for(std::chrono::seconds(20)) == std::future_status::ready; }
    static std::string readToEnd(int fd) {
        std::string all;
        char buffer[16384];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }
    static void writeAll(int fd, const std::string& text) {
        for (std::size_t at = 0; at < text.size();) {
            auto n = ::write(fd, text.data() + at, text.size() - at);
            if (n <= 0)
                return;
            at += static_cast<std::size_t>(n);
        }
    }
    std::uint16_t port = 0;

private:
    int fd_;
    std::future<void> done_;
};

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
            EXPECT_TRUE(test::waitFor([&] {
                std::size_t count = 0;
                onStack([&] { count = relay->socketCount(); });
                return count == 0;
            }));
            listener->clear();
            relay.reset();
        }
        peers.clear();
        StackHarness::TearDown();
        for (auto type : {".TCPSocket", ".ProxySocket", ".StreamCopier", ".ProxyEvent"})
            EXPECT_TRUE(test::waitFor([&] {
                return Plumber::count(std::string(plumberModuleName) + type) == 0;
            })) << type;
    }
    int count(const std::string& step) {
        auto names = listener->names();
        return static_cast<int>(std::count(names.begin(), names.end(), step));
    }

    std::shared_ptr<PacketTunnelTCPProxyServer> relay;
    std::shared_ptr<ScriptedListener> listener = std::make_shared<ScriptedListener>();
};

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
    std::string serverGot;
    ScriptServer server([&](int fd) {
        if (c.appEndsFirst) {
            serverGot = ScriptServer::readToEnd(fd);
            ScriptServer::writeAll(fd, reply);
        } else {
            ScriptServer::writeAll(fd, "hello");
            ::shutdown(fd, SHUT_WR);
            serverGot = ScriptServer::readToEnd(fd);
        }
    });
    TcpPeer peer(*this, c.family == AF_INET ? app4 : app6, 40000, destination, server.port);
    ASSERT_TRUE(peer.connect());
    if (c.appEndsFirst) {
        peer.send(toData("request"), Packet::fin);
        ASSERT_TRUE(peer.waitUntil([&] { return peer.finReceived; }));
        EXPECT_EQ(peer.received, reply);
        ASSERT_TRUE(server.finished());
        EXPECT_EQ(serverGot, "request");
    } else {
        ASSERT_TRUE(peer.waitUntil([&] { return peer.finReceived; }));
        EXPECT_EQ(peer.received, "hello");
        for (std::size_t at = 0; at < upload.size(); at += 1000)
            peer.send(toData(upload.substr(at, 1000)));
        peer.fin();
        ASSERT_TRUE(server.finished());
        EXPECT_EQ(serverGot, upload);
    }
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
    auto lines = log->lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](auto& line) {
                                return line.find("TCP Proxy: Remote socket failed to connect to ") !=
                                       std::string::npos;
                            }),
              1);
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
