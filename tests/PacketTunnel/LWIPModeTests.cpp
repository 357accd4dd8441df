#include <gtest/gtest.h>

#include "PacketTunnel/LWIPMode.h"
#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "PacketTunnel/PacketTunnelTCPProxyServer.h"
#include "PacketTunnel/TunPacketFlow.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"
#include "tests/support/tunnel/ClientNamespace.h"

using namespace pemtrox;

namespace {

std::string response(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// LWIP mode on a TUN device whose client namespace runs real clients; the servers sit on
// the test's own namespace at 203.0.113.10 and 2001:db8::10.
class LWIPModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = test::ClientNamespace::unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        if (LWIPStack::isInitialised())
            GTEST_SKIP() << "the stack initialises once per process: run each test alone (ctest does)";
        client = std::make_unique<test::ClientNamespace>();
        client->addServerAddress("203.0.113.10/32");
        client->addServerAddress("2001:db8::10/128");
        LWIPMode::Configuration configuration;
        configuration.caDirectory = dir.path();
        mode = LWIPMode::start(configuration, client->flow());
        mode->proxyServer()->addProxyListener(proxied);
        mode->tcpProxyServer()->addProxyListener(relayed);
        mode->startReading();
    }
    void TearDown() override {
        if (mode)
            mode->stop();
        proxied->clear();
        relayed->clear();
        for (auto type : {".TCPSocket", ".ProxySocket", ".StreamCopier", ".ProxyEvent"})
            EXPECT_TRUE(
                test::waitFor([&] { return Plumber::count(std::string(plumberModuleName) + type) == 0; },
                              std::chrono::seconds(20)))
                << type << " " << Plumber::count(std::string(plumberModuleName) + type);
        mode.reset();
        client.reset();
    }
    std::string curl(const std::string& arguments, int* status = nullptr) {
        return client->run("curl -sS --max-time 60 " + arguments, status);
    }

    test::TempDir dir;
    std::unique_ptr<test::ClientNamespace> client;
    std::unique_ptr<LWIPMode> mode;
    std::shared_ptr<test::RecordingProxyListener> proxied = std::make_shared<test::RecordingProxyListener>();
    std::shared_ptr<test::RecordingProxyListener> relayed = std::make_shared<test::RecordingProxyListener>();
};

// Connections that do not use the proxy are relayed to the address they were made to, in
// both families; one that uses it is served by the engine. A second start is refused.
TEST_F(LWIPModeTest, RelaysAndProxies) {
    auto serve = test::TestOrigin::serveEach([](const std::string& head, const std::string&) {
        return response("from " + head.substr(0, head.find(' ', 4)));
    });
    test::TestOrigin origin4(serve, "203.0.113.10", 8080), origin6(serve, "2001:db8::10", 8080),
        origin80(serve, "203.0.113.10", 80);
    EXPECT_EQ(curl("http://203.0.113.10:8080/a"), "from GET /a");
    EXPECT_EQ(curl("-g http://[2001:db8::10]:8080/b"), "from GET /b");
    EXPECT_EQ(curl("-x http://198.18.72.253:8888 http://203.0.113.10/c"), "from GET /c");
    ASSERT_TRUE(test::waitFor([&] { return relayed->exchanges("complete").size() == 2; }));
    EXPECT_EQ(*relayed->exchanges("complete").at(1)->host, "2001:DB8::10");
    ASSERT_TRUE(test::waitFor([&] { return proxied->exchanges("complete").size() == 1; }));
    EXPECT_EQ(*proxied->exchanges("complete").at(0)->host, "203.0.113.10");
    EXPECT_THROW(LWIPMode::start({}, client->flow()), LWIPStackError);
}

// A large download through the relay arrives whole, and many parallel connections all
// complete (the live counts are checked at the end).
TEST_F(LWIPModeTest, BulkAndParallel) {
    std::string big(100 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 % 251);
    auto bigResponse = response(big);
    test::TestOrigin origin(test::TestOrigin::serveEach([&](const std::string& head, const std::string&) {
                                return head.starts_with("GET /big") ? bigResponse : response("ok");
                            }),
                            "203.0.113.10", 8080);
    auto file = dir.path() / "download";
    {
        std::FILE* out = std::fopen((dir.path() / "expected").c_str(), "wb");
        std::fwrite(big.data(), 1, big.size(), out);
        std::fclose(out);
    }
    int status = -1;
    curl("-o " + file.string() + " http://203.0.113.10:8080/big", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(
        test::runCommand("cmp " + file.string() + " " + (dir.path() / "expected").string() + " && echo same"),
        "same\n");
    auto codes =
        client->run("seq 200 | xargs -P 200 -I{} curl -s -o /dev/null --max-time 60 -w \"%{http_code}\\n\" "
                    "http://203.0.113.10:8080/{} | sort | uniq -c");
    EXPECT_EQ(codes, "    200 200\n");
}

// An app that trusts the program's CA gets an HTTPS exchange intercepted through the stack.
TEST_F(LWIPModeTest, InterceptsHttpsThroughTheStack) {
    auto& pki = test::TestCertificates::shared();
    test::TrustTestRoot trust;
    test::ChildProcess server("exec openssl s_server -accept 127.0.0.1:0 -www -key '" +
                              pki.leafKeyFile.string() + "' -cert '" + pki.leafFile.string() +
                              "' -cert_chain '" + pki.intermediateFile.string() + "'");
    int port = test::acceptedPort(server.waitForLine("ACCEPT"));
    ASSERT_GT(port, 0) << server.output();
    SSLSettings ssl;
    ssl.proxyingEnabled = true;
    ssl.include.push_back(MatchDefinition{});
    ssl.include.back().hostnamePattern = "localhost";
    mode->proxyServer()->setSettings(ssl);
    int status = -1;
    auto out = curl("--cacert " + (dir.path() / "ca-cert.pem").string() +
                        " -x http://198.18.72.253:8888 https://localhost:" + std::to_string(port) + "/",
                    &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("s_server"), std::string::npos) << out;
    ASSERT_TRUE(test::waitFor([&] {
        for (auto& evt : proxied->exchanges("complete"))
            if (evt->scheme == "https" && !evt->tunnel && evt->path() == "/")
                return true;
        return false;
    }));
}

} // namespace
