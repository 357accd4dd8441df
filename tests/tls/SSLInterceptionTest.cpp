#include <gtest/gtest.h>

#include <fstream>

#include "platform/Identity.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/tls/SSLCACertificateProxyListener.h"
#include "proxy/tls/SSLConnectTunnel.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLContextFactoryError.h"
#include "proxy/tls/SSLHttpProxyHandler.h"
#include "proxy/tls/SSLProxyServer.h"
#include "proxy/tls/SSLTestProxyListener.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"
#include "tests/tls/TlsTestSupport.h"

namespace pemtrox {
namespace {

namespace fs = std::filesystem;

MatchDefinition host(const std::string& pattern, std::optional<std::string> protocol = std::nullopt) {
    MatchDefinition d;
    d.hostnamePattern = pattern;
    d.protocolPattern = std::move(protocol);
    return d;
}

/// A TLS origin in Python: answers each request with its path and the address it was
/// reached at; "close" ends the connection after each response without saying so, "eof"
/// ends each body with the connection. A client that does not speak TLS is reported as
/// "TLSFAIL".
const char* originScript = R"(import socket, ssl, sys, threading
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); ctx.load_cert_chain(sys.argv[1], sys.argv[2])
srv = socket.socket(); srv.bind(("0.0.0.0", 0)); srv.listen(128)
print("PORT", srv.getsockname()[1], flush=True)
def serve(c):
    try: s = ctx.wrap_socket(c, server_side=True)
    except Exception as e: print("TLSFAIL", e, flush=True); c.close(); return
    f = s.makefile("rb")
    while True:
        line = f.readline()
        if not line: break
        while f.readline() not in (b"\r\n", b""): pass
        body = (line.split()[1].decode() + " at " + s.getsockname()[0]).encode()
        if sys.argv[3] == "eof": s.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body); break
        s.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        if sys.argv[3] == "close": break
    s.close()
while True:
    c, _ = srv.accept(); threading.Thread(target=serve, args=(c,), daemon=True).start()
)";

struct Origin {
    test::ChildProcess process;
    int port = 0;
    Origin(const fs::path& script, const fs::path& chain, const fs::path& key, const char* mode)
        : process("exec python3 -u '" + script.string() + "' '" + chain.string() + "' '" + key.string() +
                  "' " + mode) {
        auto line = process.waitForLine("PORT");
        port = line.empty() ? 0 : std::stoi(line.substr(5));
    }
};

/// Left behind by nothing once the proxy is gone.
struct LiveCheck {
    ~LiveCheck() {
        for (auto type : {"SSLHttpProxyHandler", "SSLConnectTunnel", "SSLRemoteConnection",
                          "SSLProxyConnection", "SSLSocketWrapper", "DefaultSSLSocket", "PipeSocket",
                          "CrossOverSocket", "SimpleSocketRemoteConnection", "PipeRemoteConnection"})
            EXPECT_TRUE(test::waitFor([&] { return test::liveCount(type) == 0; }))
                << type << " left: " << test::liveCount(type);
    }
};

class Interception : public testing::Test {
protected:
    test::TrustTestRoot trust;
    test::TempDir dir;
    LiveCheck check;
    std::shared_ptr<SSLProxyServer> server;
    test::ProxyHarness proxy{[this](std::shared_ptr<DispatchQueue> queue) {
        SSLSettings settings;
        settings.proxyingEnabled = true;
        settings.include = {host("localhost"), host("127.0.0.*")};
        settings.exclude = {host("127.0.0.1")};
        server = SSLProxyServer::make(settings, queue, SSLContextFactory::make(dir.path() / "certs"),
                                      SSLCAGenerator::make(dir.path() / "ca"));
        server->addProxyListener(std::make_shared<SSLTestProxyListener>(server));
        server->addProxyListener(std::make_shared<SSLCACertificateProxyListener>(server));
        return server;
    }};
    const test::TestCertificates& pki = test::TestCertificates::shared();

    void TearDown() override {
        proxy.queue->sync([&] { server.reset(); });
    }
    fs::path script() {
        std::ofstream(dir.path() / "origin.py") << originScript;
        return dir.path() / "origin.py";
    }
    std::string ca() const { return (dir.path() / "ca" / "ca-cert.pem").string(); }
    std::string curl(const std::string& arguments, int* status = nullptr) {
        return test::curl(proxy, arguments + " 2>&1", status);
    }
    std::vector<std::string> exceptions() {
        std::vector<std::string> texts;
        for (auto& e : proxy.recorder->exchanges("exception"))
            texts.push_back(describe(e->exception));
        return texts;
    }
};

TEST_F(Interception, DecryptedRequestsReachTheListenersAndClientsSeeTheMintedLeafThenTheCA) {
    Origin origin(script(), pki.chainFile, pki.leafKeyFile, "keep");
    std::string url = "https://localhost:" + std::to_string(origin.port);
    int status = -1;
    EXPECT_EQ(curl("--cacert " + ca() + " " + url + "/inner?q=1", &status), "/inner?q=1 at 127.0.0.1");
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(test::waitFor([&] { return proxy.recorder->exchanges("response").size() == 1; }));
    auto responses = proxy.recorder->exchanges("response");
    EXPECT_EQ(responses[0]->method, "GET");
    EXPECT_EQ(responses[0]->path(), "/inner");
    EXPECT_EQ(responses[0]->responseHeader->headerText().rfind("HTTP/1.1 200 OK", 0), 0u);

    curl(url + "/", &status); // our CA is not trusted by curl itself
    EXPECT_EQ(status, 60);
    EXPECT_TRUE(test::waitFor([&] { return !exceptions().empty(); }));
    EXPECT_EQ(exceptions(), std::vector<std::string>{"SSL client error: Client rejected SSL CA certificate"});

    std::string shown = test::runCommand(
        "echo | openssl s_client -proxy 127.0.0.1:" + std::to_string(proxy.port()) +
        " -connect localhost:" + std::to_string(origin.port) + " -CAfile " + ca() + " -showcerts 2>&1");
    EXPECT_NE(shown.find(" 0 s:CN = localhost\n   i:CN = \"Pemtrox Proxy CA"), std::string::npos) << shown;
    EXPECT_NE(shown.find(" 1 s:CN = \"Pemtrox Proxy CA"), std::string::npos);
    EXPECT_EQ(shown.find(" 2 s:"), std::string::npos);
    EXPECT_NE(shown.find("Verify return code: 0 (ok)"), std::string::npos);
    auto leaf = dir.path() / "leaf.pem";
    std::ofstream(leaf) << shown.substr(shown.find("-----BEGIN"));
    EXPECT_NE(test::openssl("x509 -noout -ext subjectAltName -in " + leaf.string())
                  .find("DNS:localhost, IP Address:127.0.0.1"),
              std::string::npos);

    // A body that ends with the connection ends with TLS's close alert, so it reads as whole.
    Origin eof(script(), pki.chainFile, pki.leafKeyFile, "eof");
    EXPECT_EQ(curl("--cacert " + ca() + " https://localhost:" + std::to_string(eof.port) + "/cut", &status),
              "/cut at 127.0.0.1");
    EXPECT_EQ(status, 0);

    // The built-in answers: the CA for download, the TLS test host.
    EXPECT_EQ(curl("http://pemtrox.crt/"), test::runCommand("cat " + ca()));
    EXPECT_EQ(curl("--cacert " + ca() + " https://tls-test.pemtrox/"), "Hello world");
    fs::remove(ca());
    EXPECT_EQ(curl("-i http://pemtrox.crt/").find("HTTP/1.1 404 Not Found"), 0u);
}

TEST_F(Interception, HostsNotInterceptedKeepTheirOwnCertificateAndUntrustedServersFail) {
    Origin origin(script(), pki.chainFile, pki.leafKeyFile, "keep");
    int status = -1;
    EXPECT_EQ(
        curl("--cacert " + pki.rootFile.string() + " https://127.0.0.1:" + std::to_string(origin.port) + "/x",
             &status),
        "/x at 127.0.0.1");
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(test::waitFor([&] { return proxy.recorder->exchanges("complete").size() == 1; }));
    auto completed = proxy.recorder->exchanges("complete");
    EXPECT_TRUE(completed[0]->tunnel);
    EXPECT_EQ(
        std::any_cast<std::vector<std::string>>(completed[0]->attributes.at(ProxyEvent::NotesAttribute)),
        std::vector<std::string>{SSLHttpProxyHandler::notInterceptedNote});

    // The refusal is logged once for the host and reason, however often a client tries.
    auto log = test::CapturingLogger::install(logLevelErrorWarning);
    Origin rogue(script(), pki.rogueChainFile, pki.rogueKeyFile, "keep");
    for (int attempt = 0; attempt < 2; ++attempt) {
        curl("--cacert " + ca() + " https://localhost:" + std::to_string(rogue.port) + "/", &status);
        EXPECT_NE(status, 0);
    }
    EXPECT_TRUE(test::waitFor([&] { return exceptions().size() == 2; }));
    EXPECT_NE(exceptions().at(0).find("certificate verify failed"), std::string::npos) << exceptions().at(0);
    log->uninstall();
    EXPECT_EQ(log->count("Refused the certificate of the intercepted server localhost:" +
                         std::to_string(rogue.port) + ": certificate verify failed: "),
              1)
        << testing::PrintToString(log->lines());
}

TEST_F(Interception, ReconnectsInsideATunnelSpeakTLSAndATunnelWithoutTLSPassesThrough) {
    Origin origin(script(), pki.chainFile, pki.leafKeyFile, "close");
    std::string client = R"(import http.client, ssl, sys, time
ctx = ssl.create_default_context(cafile=sys.argv[2])
c = http.client.HTTPSConnection("127.0.0.1", int(sys.argv[1]), context=ctx)
c.set_tunnel("localhost", int(sys.argv[3]))
for path in ("/one", "/two"):
    c.request("GET", path); print(c.getresponse().read().decode()); time.sleep(0.3)
)";
    std::ofstream(dir.path() / "client.py") << client;
    EXPECT_EQ(test::runCommand("python3 " + (dir.path() / "client.py").string() + " " +
                               std::to_string(proxy.port()) + " " + ca() + " " + std::to_string(origin.port) +
                               " 2>&1"),
              "/one at 127.0.0.1\n/two at 127.0.0.1\n");
    EXPECT_EQ(origin.process.output().find("TLSFAIL"), std::string::npos) << origin.process.output();

    // A plain server behind an intercepted CONNECT whose scheme is http (as for port 80).
    struct PlainScheme : ProxyServerAdapter {
        void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& e) override {
            if (e->method == "CONNECT")
                e->scheme = "http";
        }
    };
    auto plain = std::make_shared<PlainScheme>();
    proxy.server->addProxyListener(plain);
    test::TestOrigin http(test::TestOrigin::answering("plain"));
    int status = -1;
    EXPECT_EQ(curl("-p http://localhost:" + std::to_string(http.port()) + "/", &status), "plain");
    EXPECT_EQ(status, 0);
    proxy.server->removeProxyListener(plain);
}

TEST_F(Interception, ManyHostsAtOnceEachGetTheirOwnAnswer) {
    auto ipExt = dir.path() / "ip.ext";
    std::ofstream ext(ipExt);
    ext << "subjectAltName=IP:127.0.0.1";
    for (int i = 2; i <= 50; ++i)
        ext << ",IP:127.0.0." << i;
    ext.close();
    std::string d = dir.path().string(), p = pki.directory.string();
    test::runCommand(
        "cd " + d +
        " && (openssl req -new -newkey rsa:2048 -nodes -keyout ip.key -subj /CN=ips -out ip.csr && " +
        "openssl x509 -req -in ip.csr -CA " + p + "/inter.pem -CAkey " + p +
        "/inter.key -set_serial 9 -days 2 -extfile ip.ext -out ip.pem && cat ip.pem " + p +
        "/inter.pem > ip-chain.pem) >/dev/null 2>&1");
    Origin origin(script(), dir.path() / "ip-chain.pem", dir.path() / "ip.key", "keep");
    // Each answer printed in one write, so that parallel answers do not interleave.
    std::string out = test::runCommand(
        "seq 2 50 | xargs -P 20 -I{} sh -c 'echo $(curl -s -S --max-time 20 --noproxy \"\" -x " +
        proxy.proxyURL() + " --cacert " + ca() + " https://127.0.0.{}:" + std::to_string(origin.port) +
        "/{})'");
    for (int i = 2; i <= 50; ++i)
        EXPECT_NE(out.find("/" + std::to_string(i) + " at 127.0.0." + std::to_string(i) + "\n"),
                  std::string::npos)
            << i << out;
    EXPECT_TRUE(test::waitFor([&] { return proxy.recorder->exchanges("response").size() == 49; }));
}

TEST(SSLTestProxyListener, WithoutAnIdentityLeavesTheExchangeToTheEngine) {
    struct NoIdentity : SSLContextFactory {
        using SSLContextFactory::SSLContextFactory;
        std::shared_ptr<const Identity> identityForHost(const std::string&) override {
            throw SSLContextFactoryError::certificateHasNoSubject();
        }
    };
    test::TempDir dir;
    auto log = test::CapturingLogger::install();
    {
        test::ProxyHarness proxy([&](std::shared_ptr<DispatchQueue> queue) {
            auto server =
                SSLProxyServer::make({}, queue, std::make_shared<NoIdentity>(dir.path() / "certs", nullptr),
                                     SSLCAGenerator::make(dir.path() / "ca"));
            server->addProxyListener(std::make_shared<SSLTestProxyListener>(server));
            return server;
        });
        int status = 0;
        test::curl(proxy, "https://tls-test.pemtrox/", &status);
        EXPECT_NE(status, 0);
    }
    log->uninstall();
    EXPECT_TRUE(log->contains("Failed to create the TLS test identity: Certificate has no subject"));
}

TEST(SSLProxyServer, InterceptionDecision) {
    test::TempDir dir;
    auto queue = DispatchQueue::make("decision");
    auto server = SSLProxyServer::make({}, queue, SSLContextFactory::make(dir.path() / "certs"),
                                       SSLCAGenerator::make(dir.path() / "ca"));
    struct Case {
        bool enabled;
        std::vector<MatchDefinition> include, exclude;
        std::optional<std::string> host;
        bool expected;
    } cases[] = {
        {false, {}, {}, "tls-test-long.pemtrox.app", true},
        {false, {}, {}, "TLS-test-long.pemtrox.app", false},
        {true, {}, {}, "a.test", false},
        {true, {host("*.test")}, {}, "a.test", true},
        {true, {host("*.test")}, {host("a.*")}, "a.test", false},
        {true, {host("*.test", "http")}, {}, "a.test", true}, // the scheme is not set yet
        {true, {host("*")}, {}, std::nullopt, true},
        {false, {host("*")}, {}, "a.test", false},
    };
    for (const auto& c : cases) {
        server->setSettings({c.include, c.exclude, c.enabled});
        auto evt = ProxyEvent::make(server);
        evt->host = c.host;
        evt->port = 443;
        EXPECT_EQ(server->isSSLProxied(*evt), c.expected) << c.host.value_or("(none)");
    }
    queue->sync([&] { server.reset(); });
}

// TLS toward the client starts only over its own socket: a connection that already reads
// through a layer of its own is refused, never wrapped again.
TEST(SSLClientUpgrade, NeedsTheClientsPlainSocket) {
    struct Layered : ProxyConnection {
        std::shared_ptr<const InetAddress> address() const override { return nullptr; }
        std::optional<std::int64_t> port() const override { return std::nullopt; }
        std::shared_ptr<const InetAddress> localAddress() const override { return nullptr; }
        std::optional<std::int64_t> localPort() const override { return std::nullopt; }
        std::shared_ptr<HttpInputStream> inputStream() const override { return nullptr; }
        std::shared_ptr<HttpOutputStream> outputStream() const override { return nullptr; }
        void close() override {}
    };
    std::vector<std::string> outcomes;
    SSLConnectTunnel::startSSLClientConnection(
        std::make_shared<Layered>(), nullptr, nullptr, [&](ProxyConnectionState state) {
            outcomes.push_back(state.isConnected() ? "connected" : describe(state.error()));
        });
    EXPECT_EQ(outcomes,
              std::vector<std::string>{"Illegal state: The client connection cannot be upgraded to TLS"});
}

} // namespace
} // namespace pemtrox
