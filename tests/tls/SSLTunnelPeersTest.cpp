// Intercepted tunnels whose server accepts and then never answers the TLS handshake: the
// client's leaving ends the server connection at once, and a client that stays waits no
// longer than the connect time-out.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/ProxySocket.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLProxyServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox {
namespace {

using Clock = std::chrono::steady_clock;

const std::string established = "HTTP/1.0 200 Connection established\r\n\r\n";
/// The first bytes of a ClientHello, as a client sends them right after the 200.
const std::string helloStart("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);

/// Sets the connect time-out for the test's life.
struct ConnectTimeout {
    explicit ConnectTimeout(double seconds) { ProxySocket::setDefaultConnectTimeout(seconds); }
    ~ConnectTimeout() { ProxySocket::setDefaultConnectTimeout(300.0); }
};

/// A server that accepts and reads, and never says a word; it notes when its peer ended.
struct SilentServer {
    std::atomic<Clock::rep> ended{0};
    test::TestOrigin origin{[this](test::OriginConnection& c, test::TestOrigin&) {
        c.readToEnd();
        ended = Clock::now().time_since_epoch().count();
    }};
    bool hasEnded() const { return ended != 0; }
    Clock::time_point endTime() const { return Clock::time_point(Clock::duration(ended.load())); }
};

class SilentTLSServer : public testing::Test {
protected:
    test::TempDir dir;
    std::shared_ptr<SSLProxyServer> server;
    test::ProxyHarness proxy{[this](std::shared_ptr<DispatchQueue> queue) {
        SSLSettings settings;
        settings.proxyingEnabled = true;
        MatchDefinition loopback;
        loopback.hostnamePattern = "127.0.0.1";
        settings.include = {loopback};
        server = SSLProxyServer::make(settings, queue, SSLContextFactory::make(dir.path() / "certs"),
                                      SSLCAGenerator::make(dir.path() / "ca"));
        return server;
    }};

    void TearDown() override {
        proxy.queue->sync([&] { server.reset(); });
    }
    std::unique_ptr<test::RawClient> tunnelTo(const SilentServer& silent) {
        auto client = std::make_unique<test::RawClient>(proxy.port());
        client->send("CONNECT 127.0.0.1:" + std::to_string(silent.origin.port()) +
                     " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(client->readUntil(established), established);
        return client;
    }
    std::vector<std::string> exceptions() {
        std::vector<std::string> texts;
        for (auto& e : proxy.recorder->exchanges("exception"))
            texts.push_back(describe(e->exception));
        return texts;
    }
};

TEST_F(SilentTLSServer, AClientThatLeavesReleasesTheServerWithinASecond) {
    // The client once waited for its own limit (curl: 300 s) and the server connection
    // outlived it until the server closed.
    struct Case {
        const char* name;
        std::vector<std::string> steps; // after the 200
    } cases[] = {
        {"closes", {"close"}},
        {"sends its hello, then closes", {">" + helloStart, "close"}},
        {"resets", {"reset"}},
        {"sends its hello, then resets", {">" + helloStart, "reset"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        proxy.recorder->clear();
        SilentServer silent;
        auto client = tunnelTo(silent);
        ASSERT_TRUE(test::waitFor([&] { return silent.origin.accepts() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the handshake is under way
        test::play(*client, c.steps);
        auto left = Clock::now();
        ASSERT_TRUE(test::waitFor([&] { return silent.hasEnded(); }, std::chrono::seconds(3)));
        EXPECT_LT(silent.endTime() - left, std::chrono::seconds(1));
        EXPECT_TRUE(test::waitFor([&] { return proxy.server->handlerCount() == 0; }));
        EXPECT_EQ(exceptions(), std::vector<std::string>{"Connection closed by peer"});
    }
}

TEST_F(SilentTLSServer, AClientThatStaysWaitsNoLongerThanTheConnectTimeOut) {
    for (double seconds : {0.5, 1.5}) {
        SCOPED_TRACE(seconds);
        ConnectTimeout limit(seconds);
        proxy.recorder->clear();
        SilentServer silent;
        auto started = Clock::now();
        auto client = tunnelTo(silent);
        client->send(helloStart);
        EXPECT_TRUE(client->closedByPeer(static_cast<int>(seconds * 1000) + 3000));
        auto waited = std::chrono::duration<double>(Clock::now() - started).count();
        EXPECT_GE(waited, seconds);
        EXPECT_LT(waited, seconds + 1.0);
        EXPECT_TRUE(test::waitFor([&] { return silent.hasEnded() && proxy.server->handlerCount() == 0; }));
        EXPECT_EQ(exceptions(), std::vector<std::string>{"Connection timeout"});
        auto failed = proxy.recorder->exchanges("exception");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0]->method, "CONNECT");
    }
}

} // namespace
} // namespace pemtrox
