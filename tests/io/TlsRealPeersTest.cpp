// Our TLS sockets against the openssl tool over loopback.

#include <gtest/gtest.h>

#include "platform/Identity.h"
#include "proxy/io/ClientSocket.h"
#include "proxy/io/DefaultSSLSocket.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"
#include "proxy/io/SSLSocketWrapper.h"
#include "proxy/io/SSLSocketWrapperError.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

namespace pemtrox {
namespace {

using test::TestCertificates;
using test::TrustTestRoot;
using test::waitFor;

enum class Kind { defaultSSLSocket, wrapper };

/// Secures a TCP socket in one of the two ways the system does.
std::shared_ptr<SSLSocket> secure(Kind kind, const std::shared_ptr<DefaultSocket>& tcp,
                                  const std::shared_ptr<DispatchQueue>& queue, const TlsSettings& settings,
                                  SocketConnectCallback callback) {
    if (kind == Kind::defaultSSLSocket)
        return DefaultSSLSocket::make(tcp, settings, std::move(callback));
    return SSLSocketWrapper::make(tcp, queue, settings, std::move(callback));
}

const char* name(Kind kind) {
    return kind == Kind::defaultSSLSocket ? "DefaultSSLSocket" : "SSLSocketWrapper";
}

class TlsRealPeersTest : public ::testing::Test {
protected:
    const TestCertificates& pki = TestCertificates::shared();
    TrustTestRoot trust;
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("tls-peers");

    template <class F> auto onQueue(F f) {
        decltype(f()) result;
        queue->sync([&] { result = f(); });
        return result;
    }
    void TearDown() override {
        // Let cancelled socket operations finish before the queue stops.
        waitFor(
            [&] {
                queue->sync([] {});
                return false;
            },
            std::chrono::milliseconds(50));
        queue->stop();
    }
};

struct ServerCase {
    const char* name;
    const char* options;
    const char* peerName;
    const char* protocol;
    const char* cipher;
    const char* failure; // null when the connection must work
};

TEST_F(TlsRealPeersTest, OurClientAgainstOpensslServer) {
    const ServerCase cases[] = {
        {"TLS 1.3", "-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256", "localhost", "TLSv1.3",
         "TLS_AES_128_GCM_SHA256", nullptr},
        {"TLS 1.2", "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", "localhost", "TLSv1.2",
         "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", nullptr},
        {"TLS 1.2 to an address", "-tls1_2 -cipher ECDHE-RSA-AES256-SHA384", "127.0.0.1", "TLSv1.2",
         "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384", nullptr},
        {"wrong host name", "", "wrong.example", nullptr, nullptr,
         "certificate verify failed: hostname mismatch"},
        {"untrusted chain", "-rogue", "localhost", nullptr, nullptr,
         "certificate verify failed: self-signed certificate in certificate chain"},
    };
    for (Kind kind : {Kind::defaultSSLSocket, Kind::wrapper}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(name(kind)) + ", " + c.name);
            bool rogue = std::string(c.options) == "-rogue";
            std::string options = rogue ? "" : c.options;
            test::ChildProcess server(
                "exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -www -key '" +
                (rogue ? pki.rogueKeyFile : pki.leafKeyFile).string() + "' -cert '" +
                (rogue ? pki.rogueLeafFile : pki.leafFile).string() + "' -cert_chain '" +
                (rogue ? pki.rogueRootFile : pki.intermediateFile).string() + "' " + options);
            int port = test::acceptedPort(server.waitForLine("ACCEPT"));
            ASSERT_GT(port, 0) << server.output();

            std::shared_ptr<DefaultSocket> tcp;
            std::shared_ptr<SSLSocket> tls;
            std::optional<SocketConnectionState> state;
            queue->sync([&] {
                tcp = DefaultSocket::connecting(
                    InetAddress("127.0.0.1", "127.0.0.1"), port, queue, [&](SocketConnectionState connected) {
                        ASSERT_TRUE(connected.isConnected()) << describe(connected.error());
                        TlsSettings settings;
                        settings.peerName = c.peerName;
                        tls = secure(kind, tcp, queue, settings, [&](SocketConnectionState s) { state = s; });
                    });
            });
            ASSERT_TRUE(waitFor([&] { return onQueue([&] { return state.has_value(); }); }));

            if (c.failure) {
                queue->sync([&] {
                    ASSERT_FALSE(state->isConnected());
                    EXPECT_EQ(describe(state->error()), c.failure);
                    EXPECT_FALSE(tls->negotiatedCipher());
                    tls->close();
                });
                continue;
            }
            std::shared_ptr<test::EventLog> page;
            queue->sync([&] {
                ASSERT_TRUE(state->isConnected()) << describe(state->error());
                EXPECT_EQ(tls->negotiatedProtocol(), c.protocol);
                EXPECT_EQ(tls->negotiatedCipher(), c.cipher);
                page = test::drain(tls->inputStream());
                tls->outputStream()->write(toData("GET / HTTP/1.0\r\n\r\n"), true,
                                           [](OutputStreamWriteHandlerResult) {});
            });
            ASSERT_TRUE(waitFor([&] { return onQueue([&] { return page->ended(); }); }));
            queue->sync([&] {
                EXPECT_EQ(page->text().rfind("HTTP/1.0 200 ok", 0), 0u) << page->text();
                if (kind == Kind::defaultSSLSocket) {
                    auto chain = tls->peerCertificates();
                    ASSERT_TRUE(chain && chain->size() == 2u);
                    EXPECT_EQ(toString((*chain)[0]), pki.leafDER);
                    EXPECT_EQ(toString((*chain)[1]), pki.intermediateDER);
                }
                tls->close();
            });
        }
    }
}

/// Accepts connections on 127.0.0.1 and wraps each in a ClientSocket.
class Listener : public GCDAsyncServerSocketSwiftDelegate {
public:
    std::shared_ptr<AsyncTcpSocket> socket;
    std::shared_ptr<GCDAsyncServerSocketDelegateHelper> helper =
        std::make_shared<GCDAsyncServerSocketDelegateHelper>();
    std::shared_ptr<DispatchQueue> queue;
    std::function<void(std::shared_ptr<ClientSocket>)> onAccept;

    void socketDidAcceptNewSocket(std::shared_ptr<AsyncTcpSocket> newSocket) override {
        onAccept(ClientSocket::make(std::move(newSocket), queue));
    }
};

TEST_F(TlsRealPeersTest, OurServerAgainstOpensslClient) {
    for (auto [kind, rejected] : {std::pair{Kind::defaultSSLSocket, false},
                                  {Kind::wrapper, false},
                                  {Kind::defaultSSLSocket, true},
                                  {Kind::wrapper, true}}) {
        SCOPED_TRACE(std::string(name(kind)) + (rejected ? ", certificate rejected" : ""));
        auto listener = std::make_shared<Listener>();
        std::shared_ptr<SSLSocket> tls;
        std::optional<SocketConnectionState> state;
        std::shared_ptr<test::EventLog> request;
        std::optional<std::string> protocol;
        std::optional<std::vector<Data>> peerCertificates;
        int port = onQueue([&] {
            listener->queue = queue;
            listener->socket = AsyncTcpSocket::make(queue);
            listener->helper->delegate = listener;
            listener->socket->setDelegate(listener->helper);
            listener->onAccept = [&](std::shared_ptr<ClientSocket> client) {
                TlsSettings settings;
                settings.isServer = true;
                // A chain from a root the client does not trust: it answers with an alert.
                settings.certificates = rejected ? Identity::fromPEM(pki.rogueKeyPEM, pki.rogueChainPEM)
                                                 : Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM);
                tls = secure(kind, client, queue, settings, [&](SocketConnectionState s) {
                    state = s;
                    if (!s.isConnected())
                        return;
                    // Answer the first line, then close once the answer has left.
                    request = test::EventLog::make();
                    auto input = tls->inputStream();
                    request->afterReply = [&](InputStreamEvent::Kind) {
                        tls->outputStream()->write(toData("world\n"), true,
                                                   [&](OutputStreamWriteHandlerResult) {
                                                       // Dropped right after its close: the answer and the
                                                       // close alert still go out.
                                                       protocol = tls->negotiatedProtocol();
                                                       peerCertificates = tls->peerCertificates();
                                                       tls->close();
                                                       tls.reset();
                                                   });
                    };
                    input->handler(request->handler());
                    input->readTo(toData("\n"));
                });
            };
            listener->socket->acceptOn(std::string("127.0.0.1"), 0);
            return static_cast<int>(*listener->socket->localPort());
        });
        test::ChildProcess client(
            "echo hello | exec openssl s_client -quiet -verify_return_error -connect 127.0.0.1:" +
            std::to_string(port) + " -servername localhost -CAfile '" + pki.rootFile.string() + "'");
        std::string output = client.readAll();
        if (rejected) {
            EXPECT_NE(client.wait(), 0) << output;
            ASSERT_TRUE(waitFor([&] { return onQueue([&] { return state.has_value(); }); }));
            queue->sync([&] {
                ASSERT_FALSE(state->isConnected());
                EXPECT_EQ(tlsStatusOf(state->error()), TlsEngine::peerRejectedCertificate)
                    << describe(state->error());
                listener->socket->disconnect();
                listener->onAccept = nullptr;
                tls->close();
                tls.reset();
            });
            continue;
        }
        EXPECT_NE(output.find("world"), std::string::npos) << output;
        EXPECT_EQ(client.wait(), 0) << "the client verified our chain and saw our close alert: " << output;
        queue->sync([&] {
            ASSERT_TRUE(state && state->isConnected());
            EXPECT_EQ(request->text(), "hello\n");
            EXPECT_EQ(protocol, "TLSv1.3");
            EXPECT_FALSE(peerCertificates) << "the client presented no certificate";
            EXPECT_FALSE(tls);
            listener->socket->disconnect();
            listener->onAccept = nullptr;
            tls.reset();
        });
    }
}

} // namespace
} // namespace pemtrox
