#include <gtest/gtest.h>

#include <thread>

#include "platform/DispatchQueue.h"
#include "proxy/engine/ConnectData.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpProxyServer.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/RefusedCertificateLog.h"
#include "proxy/engine/SSLRemoteConnection.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InetAddress.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox::test {
namespace {

// The TLS connection toward a real server (openssl s_server): the handshake outcome
// reaches both the connect completion and the interception's callback, once each.
TEST(SSLRemoteConnection, HandshakeOutcomeReachesCompletionAndCallback) {
    auto& pki = TestCertificates::shared();
    TrustTestRoot trust;
    for (bool rogue : {false, true}) {
        SCOPED_TRACE(rogue ? "untrusted server" : "trusted server");
        ChildProcess server("exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -www -key '" +
                            (rogue ? pki.rogueKeyFile : pki.leafKeyFile).string() + "' -cert '" +
                            (rogue ? pki.rogueLeafFile : pki.leafFile).string() + "' -cert_chain '" +
                            (rogue ? pki.rogueRootFile : pki.intermediateFile).string() + "'");
        int port = acceptedPort(server.waitForLine("ACCEPT"));
        ASSERT_GT(port, 0);
        auto queue = DispatchQueue::make("tls");
        std::shared_ptr<HttpProxyServer> proxy;
        std::shared_ptr<SSLRemoteConnection> remote;
        std::shared_ptr<ProxyEvent> evt;
        std::optional<RemoteConnectionState> completed, called;
        queue->sync([&] {
            proxy = HttpProxyServer::make(queue);
            evt = ProxyEvent::make(proxy);
            evt->scheme = "https";
            evt->host = "localhost."; // sent as the peer name "localhost"
            evt->overrideHost = "127.0.0.1";
            evt->port = port;
            remote = SSLRemoteConnection::make(proxy, evt);
            remote->whenHandshakeEnds([&](RemoteConnectionState s) { called = s; });
            remote->connect(evt, [&](RemoteConnectionState s) {
                if (!s.isConnected()) {
                    ADD_FAILURE() << describe(s.error());
                    completed = called = s;
                    return;
                }
                EXPECT_EQ(remote->remoteIn(), nullptr); // no plain streams on a TLS connection
                remote->setClientData(evt, ConnectData::make(),
                                      [&](RemoteConnectionState t) { completed = t; });
            });
        });
        ASSERT_TRUE(waitFor([&] { return queue->onQueue([&] { return completed && called; }); }));
        queue->sync([&] {
            EXPECT_EQ(completed->isConnected(), !rogue);
            EXPECT_EQ(called->isConnected(), !rogue);
            EXPECT_TRUE(remote->handshakeEnded());
            ASSERT_NE(evt->remoteAddress, nullptr);
            EXPECT_EQ(evt->remoteAddress->host(), "localhost."); // the real name is kept
            EXPECT_EQ(evt->remoteAddress->address(), "127.0.0.1");
            if (rogue) {
                EXPECT_FALSE(remote->isConnected()); // both sockets closed
            } else {
                EXPECT_NE(remote->remoteIn(), nullptr);
                EXPECT_TRUE(evt->sslProtocol.has_value());
                EXPECT_TRUE(evt->cipherSuite.has_value());
                EXPECT_TRUE(evt->sslDuration.has_value());
            }
            remote->close();
        });
        queue->sync([&] {
            completed.reset(); // a `connected` state holds its connection
            called.reset();
            remote.reset();
            evt.reset();
            proxy.reset();
        });
        // The server ends with its one connection; then our closed sockets have nothing
        // left to send and let go of the queue.
        server.wait();
        EXPECT_TRUE(
            waitFor([] { return liveCount("ProxySocket") == 0 && liveCount("DefaultSSLSocket") == 0; }));
        for (int i = 0; i < 5; ++i) {
            queue->sync([] {});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        queue->stop();
    }
    EXPECT_TRUE(waitFor([] { return liveCount("SSLRemoteConnection") == 0; }));
}

/// One warning per host and reason within the period, and no more than the capacity of them.
TEST(RefusedCertificateLog, OneWarningPerHostAndReasonAndAtMostTheCapacityAPeriod) {
    using namespace std::chrono_literals;
    RefusedCertificateLog refusals(10s, 2);
    auto start = RefusedCertificateLog::Clock::now();
    struct Row {
        const char *host, *reason;
        std::chrono::milliseconds at;
        bool logs;
    } rows[] = {
        {"a:443", "r1", 0ms, true},      {"a:443", "r2", 1000ms, true}, // another reason
        {"b:443", "r1", 2000ms, false},                                 // the period's warnings are spent
        {"a:443", "r1", 9999ms, false},                                 // the same pair within its period
        {"a:443", "r1", 10000ms, true},                                 // and once that is over
        {"b:443", "r1", 10999ms, false},                                // still spent: a's r2 is 9999 ms old
        {"b:443", "r1", 11000ms, true},                                 // its place is free now
        {"c:443", "r1", 11000ms, false},
    };
    auto log = CapturingLogger::install(logLevelErrorWarning);
    int logged = 0;
    for (const auto& row : rows) {
        EXPECT_EQ(refusals.report(row.host, row.reason, start + row.at), row.logs)
            << row.host << " " << row.reason << " at " << row.at.count() << " ms";
        logged += row.logs;
    }
    log->uninstall();
    EXPECT_EQ(log->lines().size(), static_cast<std::size_t>(logged));
    EXPECT_EQ(log->count("Refused the certificate of the intercepted server b:443: r1"), 1);
}

} // namespace
} // namespace pemtrox::test
