#include "platform/TlsSocketLayer.h"

#include <mutex>

#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "platform/Identity.h"
#include "proxy/io/Data.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

namespace pemtrox {
namespace {

using test::TestCertificates;
using test::TrustTestRoot;
using test::waitFor;

/// Keeps what an AsyncTcpSocket reports; read from the test thread under the lock.
class Delegate : public AsyncTcpSocketDelegate {
public:
    std::mutex mutex;
    bool connected = false, secure = false, disconnected = false;
    ErrorPtr error;
    std::string received;
    std::shared_ptr<AsyncTcpSocket> accepted;
    std::function<void()> onConnect;
    std::function<void()> onRead;

    void socketDidConnect(const std::string&, std::uint16_t) override {
        {
            std::lock_guard lock(mutex);
            connected = true;
        }
        if (onConnect)
            onConnect();
    }
    void socketDidRead(std::vector<std::uint8_t> data, long) override {
        {
            std::lock_guard lock(mutex);
            received.append(data.begin(), data.end());
        }
        if (onRead)
            onRead();
    }
    std::function<void()> onWrite;
    void socketDidWrite(long) override {
        if (onWrite)
            onWrite();
    }
    void socketDidDisconnect(ErrorPtr e) override {
        std::lock_guard lock(mutex);
        disconnected = true;
        error = e;
    }
    void socketDidAccept(std::shared_ptr<AsyncTcpSocket> socket) override {
        std::lock_guard lock(mutex);
        accepted = socket;
    }
    void socketDidSecure() override {
        std::lock_guard lock(mutex);
        secure = true;
    }
    template <class F> auto with(F f) {
        std::lock_guard lock(mutex);
        return f();
    }
};

class TlsSocketLayerTest : public ::testing::Test {
protected:
    const TestCertificates& pki = TestCertificates::shared();
    TrustTestRoot trust;
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("tls-layer-test");
    void TearDown() override { queue->stop(); }
};

struct ServerCase {
    const char* name;
    const char* options;
    const char* peerName;
    int protocol;
    std::uint16_t cipher;
    const char* failure; // null when the connection must work
};

TEST_F(TlsSocketLayerTest, ClientAgainstOpensslServer) {
    const ServerCase cases[] = {
        {"TLS 1.3", "-tls1_3 -ciphersuites TLS_AES_256_GCM_SHA384", "localhost", TlsEngine::protocolTLS13,
         0x1302, nullptr},
        {"TLS 1.2", "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", "127.0.0.1", TlsEngine::protocolTLS12,
         0xC02F, nullptr},
        {"wrong name", "", "example.org", 0, 0, "certificate verify failed: hostname mismatch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ChildProcess server("exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -www -key '" +
                                  pki.leafKeyFile.string() + "' -cert '" + pki.leafFile.string() +
                                  "' -cert_chain '" + pki.intermediateFile.string() + "' " + c.options);
        int port = test::acceptedPort(server.waitForLine("ACCEPT"));
        ASSERT_GT(port, 0) << server.output();

        auto delegate = std::make_shared<Delegate>();
        std::shared_ptr<AsyncTcpSocket> socket;
        TlsSettings settings;
        settings.peerName = c.peerName;
        auto layer = TlsSocketLayer::make(settings);
        queue->sync([&] {
            socket = AsyncTcpSocket::make(queue);
            socket->setDelegate(delegate);
            socket->connect("127.0.0.1", static_cast<std::uint16_t>(port));
            socket->startTLS(layer);
            socket->writeData(toData("GET / HTTP/1.0\r\n\r\n"), -1, 1);
            delegate->onRead = [&] { socket->readData(-1, 4096, 2); };
            socket->readData(-1, 4096, 2);
        });
        ASSERT_TRUE(waitFor([&] { return delegate->with([&] { return delegate->disconnected; }); },
                            std::chrono::seconds(10)));
        if (c.failure) {
            EXPECT_FALSE(delegate->with([&] { return delegate->secure; }));
            EXPECT_EQ(describe(delegate->with([&] { return delegate->error; })), c.failure);
        } else {
            EXPECT_TRUE(delegate->with([&] { return delegate->secure; }));
            EXPECT_EQ(delegate->with([&] { return delegate->received; }).rfind("HTTP/1.0 200 ok", 0), 0u);
            queue->sync([&] {
                int protocol = 0;
                std::uint16_t cipher = 0;
                layer->engine()->negotiatedProtocolVersion(protocol);
                layer->engine()->negotiatedCipher(cipher);
                EXPECT_EQ(protocol, c.protocol);
                EXPECT_EQ(cipher, c.cipher);
            });
        }
        queue->sync([&] {
            delegate->onRead = nullptr;
            socket.reset();
        });
    }
}

TEST_F(TlsSocketLayerTest, ServerAgainstOpensslClient) {
    auto listenerDelegate = std::make_shared<Delegate>();
    auto delegate = std::make_shared<Delegate>();
    std::shared_ptr<AsyncTcpSocket> listener;
    std::optional<std::uint16_t> port;
    queue->sync([&] {
        listener = AsyncTcpSocket::make(queue);
        listener->setDelegate(listenerDelegate);
        listener->acceptOn(std::string("127.0.0.1"), 0);
        port = listener->localPort();
    });
    ASSERT_TRUE(port);
    test::ChildProcess client(
        "echo hello | exec openssl s_client -quiet -verify_return_error -connect 127.0.0.1:" +
        std::to_string(*port) + " -servername localhost -CAfile '" + pki.rootFile.string() + "'");
    ASSERT_TRUE(waitFor(
        [&] { return listenerDelegate->with([&] { return listenerDelegate->accepted != nullptr; }); }));
    std::shared_ptr<AsyncTcpSocket> socket;
    queue->sync([&] {
        socket = listenerDelegate->accepted;
        socket->setDelegate(delegate);
        TlsSettings settings;
        settings.isServer = true;
        settings.certificates = Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM);
        socket->startTLS(TlsSocketLayer::make(settings));
        socket->readDataToData(toData("\n"), -1, 1);
        delegate->onRead = [&] { socket->writeData(toData("world\n"), -1, 2); };
        delegate->onWrite = [&] { socket->disconnectAfterWriting(); };
    });
    EXPECT_NE(client.readAll().find("world"), std::string::npos) << client.output();
    EXPECT_EQ(client.wait(), 0) << "the close alert must reach the client: " << client.output();
    EXPECT_EQ(delegate->with([&] { return delegate->received; }), "hello\n");
    queue->sync([&] {
        delegate->onRead = nullptr;
        delegate->onWrite = nullptr;
        socket.reset();
        listener->disconnect();
        listener.reset();
        listenerDelegate->accepted.reset();
    });
    // Let the cancelled accept finish before the queue stops.
    waitFor(
        [&] {
            queue->sync([] {});
            return false;
        },
        std::chrono::milliseconds(50));
}

} // namespace
} // namespace pemtrox
